"""Location of the engine and mesher executables shipped with the package."""
