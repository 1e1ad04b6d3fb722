"""How long region_mesh takes to refuse impossible requests, and to mesh extreme legal ones.

Every request runs in a fresh process of its own, limited to 4 GB of address space and cut
off after a timeout, so that one that hangs or fills the memory cannot stop the others; the
time printed is that of the region_mesh call alone (inputs are built before it). The first
table lists requests no mesh can meet (far too many vertices, or a polygon that crosses
itself): each should end in a ValueError within a second, but for a sliver, which only
refinement finds. The second lists requests at the ends of the parameters' ranges, and of
the input's size, that do have a mesh.

Usage: python benchmarks/bench_region_refusals.py [timeout_seconds]
Target: every refusal within 1 s, never another exception or a timeout.
"""

import subprocess
import sys
import textwrap

SETUP = textwrap.dedent("""
    import resource, time
    import numpy as np
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    from corvid.meshkin.regions import region_mesh
    SQUARE = np.array([[0.0, 0.0], [10.0, 0.0], [10.0, 10.0], [0.0, 10.0]])

    def circle(k, radius=10.0):
        t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
        return radius * np.column_stack([np.cos(t), np.sin(t)])

    def star(k):  # every segment crosses most others
        t = np.arange(k) * (2.0 * np.pi * (k // 2) / k)
        return np.column_stack([np.cos(t), np.sin(t)])

    def islands(k):
        corner = np.column_stack([np.arange(k) * 2.0, np.zeros(k)])
        return [c + [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]] for c in corner]

    def scatter(k, scale=10.0):
        return np.random.default_rng(0).uniform(0.0, scale, (k, 2))
""")

IMPOSSIBLE = [
    ("buffer edge 1e-8", "region_mesh(SQUARE, max_edge=(0.2, 1e-8), offset=1.0)"),
    ("buffer edge 1e-12", "region_mesh(SQUARE, max_edge=(0.2, 1e-12), offset=1.0)"),
    ("inside edge 1e-12, buffer", "region_mesh(SQUARE, max_edge=(1e-12, 1.0), offset=1.0)"),
    ("max_edge 5e-324", "region_mesh(SQUARE, max_edge=5e-324)"),
    ("offset 1e300", "region_mesh(SQUARE, max_edge=1.0, offset=1e300)"),
    ("offset -1e300", "region_mesh(SQUARE, max_edge=1.0, offset=-1e300)"),
    ("offset 1e6, buffer edge 100", "region_mesh(SQUARE, max_edge=(1.0, 100.0), offset=1e6)"),
    ("max_vertices 1e30, edge 1e-7", "region_mesh(SQUARE, max_edge=1e-7, max_vertices=10**30)"),
    ("max_vertices 1e30, edge 1e-3", "region_mesh(SQUARE, max_edge=1e-3, max_vertices=10**30)"),
    ("2,000,000 points", "region_mesh(points=P, max_edge=1.0)", "P = scatter(2_000_000)"),
    ("200,000 points, cutoff 1e300, edge 1e-4",
     "region_mesh(SQUARE, points=P, cutoff=1e300, max_edge=1e-4)", "P = scatter(200_000)"),
    ("circle of 400,000 vertices, edge 1e-5", "region_mesh(C, max_edge=1e-5)", "C = circle(400_000)"),
    ("same, offset -0.5, buffer edge 1e-6", "region_mesh(C, max_edge=(1.0, 1e-6), offset=-0.5)",
     "C = circle(400_000)"),
    ("circle of 2,000,000 vertices", "region_mesh(C, max_edge=1.0)", "C = circle(2_000_000)"),
    ("300,000 islands, edge 1e-6", "region_mesh(I, max_edge=1e-6)", "I = islands(300_000)"),
    ("star of 100,001 vertices", "region_mesh(S, max_edge=0.1)", "S = star(100_001)"),
    # Only refinement finds that a sliver needs far more vertices than its area says: this
    # one takes as long as Triangle takes to make max_vertices (10^6) vertices.
    ("sliver 10 x 1e-6, edge 1", "region_mesh(SLIVER, max_edge=1.0)",
     "SLIVER = np.array([[0, 0], [10, 0], [10, 1e-6], [0, 1e-6]])"),
]

LEGAL = [
    ("max_edge 1e300", "region_mesh(SQUARE, max_edge=1e300)"),
    ("max_edge (1, 1e300), offset 5", "region_mesh(SQUARE, max_edge=(1.0, 1e300), offset=5.0)"),
    ("points x 1e200", "region_mesh(points=P * 1e200, max_edge=1e199)", "P = scatter(1000)"),
    ("points x 1e-200", "region_mesh(points=P * 1e-200, max_edge=1e-201)", "P = scatter(1000)"),
    ("20,000 points, cutoff 1e300", "region_mesh(SQUARE, points=P, cutoff=1e300, max_edge=0.5)",
     "P = scatter(20_000)"),
    ("circle of 100,000, offset -0.5", "region_mesh(C, max_edge=(0.5, 2.0), offset=-0.5)",
     "C = circle(100_000)"),
    ("20,000 islands", "region_mesh(I, max_edge=0.5)", "I = islands(20_000)"),
]

CHILD = """
{setup}
{prepare}
start = time.perf_counter()
try:
    mesh = {call}
    outcome = f"mesh of {{mesh.n:,}} vertices"
except Exception as exc:
    outcome = f"{{type(exc).__name__}}: {{exc}}"
print(f"{{time.perf_counter() - start:.3f}}\\t{{outcome}}")
"""


def run(name, call, prepare, timeout):
    code = CHILD.format(setup=SETUP, prepare=prepare, call=call)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"{name:<42} {'> ' + str(timeout):>8} s  timed out")
        return
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        error = (done.stderr.strip().splitlines() or ["no output"])[-1]
        print(f"{name:<42} {'--':>8}    process ended with code {done.returncode}: {error[:90]}")
        return
    seconds, outcome = lines[-1].split("\t", 1)
    print(f"{name:<42} {float(seconds):8.3f} s  {outcome[:110]}")


def main():
    timeout = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    print("Impossible requests (target: a ValueError within 1 s):")
    for name, call, *prepare in IMPOSSIBLE:
        run(name, call, "".join(prepare), timeout)
    print()
    print("Extreme legal requests (a mesh):")
    for name, call, *prepare in LEGAL:
        run(name, call, "".join(prepare), timeout)


if __name__ == "__main__":
    main()
