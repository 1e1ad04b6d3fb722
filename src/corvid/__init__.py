"""corvid: Bayesian latent Gaussian models on triangulated meshes.

Matérn random fields with penalised-complexity priors, their model files and projector
matrices for an external inference engine (``quill``), the package's option store, the
location of the engine and mesher executables, and vetting of user input.
"""

__version__ = "0.1.0"
