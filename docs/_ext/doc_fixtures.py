"""The files and arrays the guide's examples name, so that the doctest builder runs every example
as a reader would type it (scripts/docs.sh).

The examples say "COLVAR", "runs/*.txt", "features.h5:/md/features" or `frames` without making
them; here they are made once per build, small, in a temporary folder that becomes the working
directory while the examples run. Every trajectory has the same three features, a slow
double-well coordinate mixed into noise, so that any example's fit has a timescale to find.
"""
import atexit
import os
import shutil
import tempfile

import numpy as np

N_FEATURES = 3
_made = {}


def trajectory(frames, seed):
    """(frames, 3): a two-state jump process seen through three noisy features."""
    rng = np.random.default_rng(seed)
    stay = rng.random(frames) > 0.02
    state = np.empty(frames)
    state[0] = 1.0
    for t in range(1, frames):
        state[t] = state[t - 1] if stay[t] else -state[t - 1]
    slow = state + 0.3 * rng.standard_normal(frames)
    noise = rng.standard_normal((frames, N_FEATURES))
    return slow[:, None] * np.array([1.0, 0.5, -0.2]) + noise * np.array([0.3, 0.6, 1.0])


def write_text(path, x):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    np.savetxt(path, x, fmt="%.6f")


def write_colvar(path, x, seed, bias=True):
    """A PLUMED COLVAR: time, d1, d2 and a metadynamics bias (kJ/mol) that is largest between
    the wells of d1; without bias: time, d1, d2, d3."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    last = 5.0 * np.exp(-x[:, 0] ** 2) + np.random.default_rng(seed).random(len(x)) if bias else x[:, 2]
    with open(path, "w") as f:
        f.write("#! FIELDS time d1 d2 %s\n#! SET min_d1 0\n" % ("metad.bias" if bias else "d3"))
        for t, row in enumerate(x):
            f.write(" %.6f %.6f %.6f %.6f\n" % (2.0 * t, row[0], row[1], last[t]))


def make():
    import h5py

    seeds = iter(range(1000))
    for i in range(10):
        write_text("runs/t%02d.txt" % i, trajectory(400, next(seeds)))
        write_colvar("runs/r%02d/COLVAR" % i, trajectory(400, next(seeds)), i)
    for i in range(2):
        write_colvar("heldout/r%02d/COLVAR" % i, trajectory(400, next(seeds)), i)
        write_text("more/run%d.txt" % i, trajectory(400, next(seeds)))
    write_colvar("COLVAR", trajectory(2000, next(seeds)), 0, bias=False)
    write_text("traj.txt", trajectory(2000, next(seeds)))
    write_text("run1.txt", trajectory(1000, next(seeds)))
    write_text("run3.txt", trajectory(1000, next(seeds)))
    for name in ("features.npy", "run1.npy", "feat.npy"):
        np.save(name, trajectory(1000, next(seeds)))
    np.savez("features.npz", run0=trajectory(500, next(seeds)), run1=trajectory(500, next(seeds)))
    np.savez("feats.npz", **{"run%d" % i: trajectory(500, next(seeds)) for i in range(3)})
    with h5py.File("features.h5", "w") as f:
        f.create_dataset("md/features", data=trajectory(1000, next(seeds)), chunks=(100, N_FEATURES))
        f["md/features"].attrs["columns"] = ["phi", "psi", "chi"]
    with h5py.File("traj.h5", "w") as f:
        f.create_dataset("features/x", data=trajectory(1000, next(seeds)), chunks=(100, N_FEATURES))
        f["features/x"].attrs["names"] = ["phi", "psi", "chi"]

    frames = trajectory(1000, next(seeds))
    traj_a, traj_b = trajectory(800, next(seeds)), trajectory(600, next(seeds))
    rng = np.random.default_rng(next(seeds))
    whole = trajectory(1000, next(seeds))
    chunks = np.array_split(whole, 4)
    return {
        "frames": frames,
        "X": trajectory(1000, next(seeds)),
        "X0": trajectory(500, next(seeds)),
        "x": trajectory(500, next(seeds)),
        "x_t": whole[:-10],
        "x_tau": whole[10:],
        "chunks": chunks,
        "traj_a": traj_a,
        "traj_b": traj_b,
        "w": rng.uniform(0.5, 2.0, len(frames)),
        "w_a": rng.uniform(0.5, 2.0, len(traj_a)),
        "w_b": rng.uniform(0.5, 2.0, len(traj_b)),
        "weighted_chunks": [(c, rng.uniform(0.5, 2.0, len(c))) for c in chunks],
        "long_trajectory_array": trajectory(5000, next(seeds)),
        "other_files": ["heldout/r00/COLVAR", "heldout/r01/COLVAR"],
        # lagstat.stream's weight matrix: columns x columns, y_i = sum_k W[k, i] (x_k - mean_k)
        "W": np.linalg.qr(np.random.default_rng(1).standard_normal((N_FEATURES, N_FEATURES)))[0],
    }


def enter():
    """The examples' names, with the working directory moved to their folder (made on the first
    call of the build)."""
    if not _made:
        folder = tempfile.mkdtemp(prefix="lagstat-docs-")
        atexit.register(shutil.rmtree, folder, True)
        _made["start"] = os.getcwd()
        os.chdir(folder)
        _made["names"] = make()
        _made["folder"] = folder
    os.chdir(_made["folder"])
    return dict(_made["names"])


def leave():
    if _made:
        os.chdir(_made["start"])
