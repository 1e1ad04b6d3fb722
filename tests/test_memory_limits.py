"""The memory corvid refuses work against: the least of the system's free memory, the
container's (cgroup v2 or v1) limit less its usage, and `ulimit -v` less the address space
in use. The control-group files are fakes under a root folder; the address-space limit is
real, set in a child process. And the large fresh arrays made in ordinary pages."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from corvid._memory import available_memory

MIB = 2**20
GIB = 2**30


def fake_root(tmp_path, meminfo_mib, cgroup_line, files):
    """A folder holding proc/meminfo, proc/self/cgroup and the given cgroup files."""
    (tmp_path / "proc/self").mkdir(parents=True)
    (tmp_path / "proc/meminfo").write_text(
        f"MemTotal:       67108864 kB\nMemFree:  1000 kB\nMemAvailable:   {meminfo_mib * 1024} kB\n")
    (tmp_path / "proc/self/cgroup").write_text(cgroup_line + "\n")
    for path, text in files.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    return str(tmp_path)


def no_address_space_limit():
    resource = pytest.importorskip("resource")
    if resource.getrlimit(resource.RLIMIT_AS)[0] != resource.RLIM_INFINITY:
        pytest.skip("this process has an address-space limit of its own, which would win")


V2 = "sys/fs/cgroup"
V1 = "sys/fs/cgroup/memory"


@pytest.mark.parametrize("cgroup_line, files, expected_mib", [
    # cgroup v2: the group's limit less its usage, file cache that can be dropped counted free
    ("0::/user.slice/app", {f"{V2}/user.slice/app/memory.max": f"{GIB}\n",
                            f"{V2}/user.slice/app/memory.current": f"{400 * MIB}\n",
                            f"{V2}/user.slice/app/memory.stat": f"anon 1\ninactive_file {100 * MIB}\n"},
     724),
    # a tighter limit on a group above it wins
    ("0::/user.slice/app", {f"{V2}/user.slice/app/memory.max": f"{GIB}\n",
                            f"{V2}/user.slice/app/memory.current": f"{400 * MIB}\n",
                            f"{V2}/user.slice/memory.max": f"{600 * MIB}\n",
                            f"{V2}/user.slice/memory.current": f"{500 * MIB}\n"},
     100),
    # "max" is no limit: the system's free memory
    ("0::/app", {f"{V2}/app/memory.max": "max\n", f"{V2}/app/memory.current": f"{MIB}\n"}, 16384),
    # a container with its own cgroup namespace sees its group at the mount's root
    ("0::/", {f"{V2}/memory.max": f"{2 * GIB}\n", f"{V2}/memory.current": f"{512 * MIB}\n"}, 1536),
    # cgroup v1, a container whose group path does not exist under its mount
    ("4:memory:/docker/0123abcd", {f"{V1}/memory.limit_in_bytes": f"{2 * GIB}\n",
                                   f"{V1}/memory.usage_in_bytes": f"{1536 * MIB}\n",
                                   f"{V1}/memory.stat": f"cache 1\ntotal_inactive_file {512 * MIB}\n"},
     1024),
    # cgroup v1 among other controllers, its group found under the mount
    ("5:cpuacct,memory:/jobs/7", {f"{V1}/jobs/7/memory.limit_in_bytes": f"{3 * GIB}\n",
                                  f"{V1}/jobs/7/memory.usage_in_bytes": f"{GIB}\n"},
     2048),
    # cgroup v1 writes "no limit" as a huge number
    ("4:memory:/", {f"{V1}/memory.limit_in_bytes": "9223372036854771712\n",
                    f"{V1}/memory.usage_in_bytes": f"{GIB}\n"}, 16384),
    # the system's free memory below the container's limit wins
    ("0::/", {f"{V2}/memory.max": f"{64 * GIB}\n", f"{V2}/memory.current": f"{GIB}\n"}, 16384),
    # a group over its limit has nothing left, not a negative amount
    ("0::/", {f"{V2}/memory.max": f"{GIB}\n", f"{V2}/memory.current": f"{2 * GIB}\n"}, 0),
])
def test_container_limits_are_honoured_and_the_smallest_wins(tmp_path, cgroup_line, files, expected_mib):
    no_address_space_limit()
    root = fake_root(tmp_path, 16384, cgroup_line, files)
    assert available_memory(root) == expected_mib * MIB


def test_unreadable_or_garbled_files_fall_back_to_what_can_be_read(tmp_path):
    no_address_space_limit()
    root = fake_root(tmp_path, 4096, "garbage without colons\n0::/a", {
        f"{V2}/a/memory.max": "lots\n", f"{V2}/a/memory.current": "\n"})
    assert available_memory(root) == 4096 * MIB
    empty = tmp_path / "empty"
    empty.mkdir()
    assert available_memory(str(empty)) == os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


CHILD = textwrap.dedent("""
    import resource
    import numpy as np
    from corvid._memory import available_memory
    from corvid.meshkin.regions import region_mesh

    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    allowed = used + 512 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (allowed, resource.RLIM_INFINITY))
    print("available", available_memory() <= 512 * 2**20)
    try:  # about 3.7 million vertices: several GB, far beyond what the limit leaves
        region_mesh([(0, 0), (1, 0), (1, 1), (0, 1)], max_edge=7e-4, max_vertices=10**8)
    except ValueError as exc:
        print("refused", exc)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ulimit -v and /proc are Linux's")
def test_an_address_space_limit_is_refused_before_the_work_not_half_way():
    pytest.importorskip("triangle")
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    if "available" not in done.stdout:
        pytest.skip(f"python cannot start under this address-space limit: {done.stderr[-300:]}")
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert lines[0] == "available True"
    assert lines[1].startswith("refused the mesh would have about")
    assert "what the memory this process may still use holds" in lines[1]


@pytest.mark.parametrize("shape", [(0,), 5, (3, 4), (700, 1000), (2, 0, 3)])
def test_large_fresh_arrays_are_ordinary_writable_arrays_of_their_own(shape):
    from corvid import _pages

    a, b = _pages.empty(shape), _pages.empty(shape)
    expected = (shape,) if isinstance(shape, int) else shape
    assert a.shape == expected and a.dtype == np.float64 and a.flags.c_contiguous
    a[...] = 1.0
    b[...] = 2.0
    assert np.all(a == 1.0) and not np.shares_memory(a, b)
