"""
A metadynamics run reweighted
=============================

Enhanced sampling (metadynamics, umbrella sampling, OPES) adds a bias potential V(x) so that
the simulation crosses its barriers often; the frames then sample the biased distribution, and
each frame's weight exp(V/kT) restores the unbiased one. PLUMED writes the bias as a column of
the COLVAR file, beside the collective variables.

Here a particle in a double well with a barrier of 5 kT runs well-tempered metadynamics on x, as
PLUMED's ``METAD`` does it (Gaussian hills every ``PACE`` steps, their height scaled down by
exp(-V/((γ-1) kT)) where bias has piled up, the bias kept on a grid), until the bias has
converged to (1 - 1/γ) of the free energy, here 80 % of the barrier. A production run under that
bias, held fixed, writes a COLVAR as PLUMED would (``#! FIELDS time x y mix metad.bias``), and
TICA reads the file itself, once without and once with the weights (``weights=`` the bias
column, ``bias_kT=`` kT).
"""

import math
import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np

from lagstat_tica import TICA

A = 5.0  # barrier height of A (x^2 - 1)^2, in kT (kT = 1 throughout)
GAMMA = 5.0  # bias factor: the bias converges to -(1 - 1/GAMMA) of the free energy
HEIGHT, SIGMA, PACE = 0.2, 0.1, 100  # hills: height (kT), width, steps between two
STEP = 0.002  # overdamped Langevin time step
LO, HI, BINS = -2.5, 2.5, 501  # the bias grid
grid_x = np.linspace(LO, HI, BINS)
dx = grid_x[1] - grid_x[0]
v_grid = np.zeros(BINS)  # the bias V(x) on the grid
rng = np.random.default_rng(7)


def on_grid(values, x):
    """Linear interpolation on the grid (the particle never leaves it here)."""
    u = (min(max(x, LO), HI - 1e-9) - LO) / dx
    i = int(u)
    return values[i] + (u - i) * (values[i + 1] - values[i])


def run(steps, frames_every, deposit):
    """Overdamped Langevin on A (x^2 - 1)^2 + y^2 plus the bias; returns the frames' x, y, V."""
    global v_grid
    dv = np.gradient(v_grid, dx)
    x, y = -1.0, 0.0
    out = []
    noise = rng.standard_normal((steps, 2)) * math.sqrt(2 * STEP)
    for t in range(steps):
        fx = -4 * A * x * (x * x - 1) - on_grid(dv, x)  # the bias is added to the potential
        x, y = x + STEP * fx + noise[t, 0], y - STEP * 2 * y + noise[t, 1]
        if deposit and t % PACE == 0:  # well-tempered: lower hills where the bias is high
            h = HEIGHT * math.exp(-on_grid(v_grid, x) / (GAMMA - 1))
            v_grid = v_grid + h * np.exp(-((grid_x - x) ** 2) / (2 * SIGMA**2))
            dv = np.gradient(v_grid, dx)
        if t % frames_every == 0:
            out.append((x, y, on_grid(v_grid, x)))
    return np.array(out)


run(300_000, 1000, deposit=True)  # the metadynamics run, until the bias has converged
filled = on_grid(v_grid, -1.0) - on_grid(v_grid, 0.0)
print("bias in the well above the barrier top's: %.2f kT (converged: %.2f)" % (filled, (1 - 1 / GAMMA) * A))

frames = 40_000
x, y, v = run(frames * 5, 5, deposit=False).T  # production under the final bias, a frame every 5 steps
colvar = os.path.join(tempfile.mkdtemp(prefix="lagstat-gallery-"), "COLVAR")
columns = np.column_stack([np.arange(frames) * 0.01, x, y, x + 0.3 * y, v])
np.savetxt(colvar, columns, fmt="%.6f", header="FIELDS time x y mix metad.bias", comments="#! ")
with open(colvar) as f:
    print("".join(f.readlines()[:3]))

# %%
# Fit without and with the weights
# --------------------------------
# TICA reads the COLVAR itself; named as the weights, the bias column is never a feature.

plain = TICA(lag=20).fit(colvar, columns=["x", "y", "mix"])
weighted = TICA(lag=20).fit(colvar, weights="metad.bias", bias_kT=1.0)
print("features:", weighted.columns_)
print("mean of x, unweighted: %.3f   weighted: %.3f" % (plain.mean_[0], weighted.mean_[0]))
print("variance of x, unweighted: %.3f   weighted: %.3f" % (plain.cov_[0, 0], weighted.cov_[0, 0]))

# %%
# What the weights change
# -----------------------
# The biased run samples the barrier region often; weighted, its frames give back the Boltzmann
# distribution of the unbiased double well, exp(−A (x² − 1)²), normalised. The weighted
# covariances estimate those of that distribution (the variance of x below, against its exact
# value), so the fitted model describes the unbiased ensemble; the unweighted ones describe the
# biased run. The weights correct the statistics, not the dynamics: the timescales stay those of
# the biased run, which crosses far more often than the unbiased particle would.

grid = np.linspace(-2, 2, 400)
boltzmann = np.exp(-A * (grid**2 - 1) ** 2)
boltzmann /= (np.trapezoid if hasattr(np, "trapezoid") else np.trapz)(boltzmann, grid)
w = np.exp(v - v.max())

fig, (bias_ax, left, right) = plt.subplots(1, 3, figsize=(13, 3.8), layout="constrained")
target = -(1 - 1 / GAMMA) * A * (grid_x**2 - 1) ** 2
inside = np.abs(grid_x) <= 1.6
bias_ax.plot(grid_x[inside], v_grid[inside] - v_grid[inside].max(), label="bias built by the run")
bias_ax.plot(grid_x[inside], target[inside] - target[inside].max(), "k--", lw=1, label="-(1 - 1/γ) F(x)")
bias_ax.set(xlabel="x", ylabel="V (kT), shifted", title="Well-tempered bias")
bias_ax.legend(fontsize="small", loc="lower center")
left.hist(x, bins=80, range=(-2, 2), density=True, alpha=0.5, label="frames as sampled (biased)")
left.hist(x, bins=80, range=(-2, 2), density=True, weights=w, alpha=0.5, label="weighted by exp(V/kT)")
left.plot(grid, boltzmann, "k", lw=1, label="unbiased Boltzmann")
left.set(xlabel="x", ylabel="density", title="Sampled and reweighted", ylim=(0, 1.7))
left.legend(fontsize="small", loc="upper left")
right.plot(np.arange(frames)[::10] * 0.01, x[::10], lw=0.5)
right.set(xlabel="time", ylabel="x", title="The biased run crosses often")
plt.show()

integrate = np.trapezoid if hasattr(np, "trapezoid") else np.trapz
print("variance of x: unweighted %.3f, weighted %.3f, unbiased distribution %.3f"
      % (plain.cov_[0, 0], weighted.cov_[0, 0], integrate(grid**2 * boltzmann, grid)))
print("timescales (frames), unweighted:", np.round(plain.timescales_, 1))
print("timescales (frames), weighted:  ", np.round(weighted.timescales_, 1))
