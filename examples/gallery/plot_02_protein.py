"""
Protein features: adenylate kinase opening
==========================================

Real features of a real protein, computed with MDAnalysis and handed to TICA as arrays. The
trajectory is the one MDAnalysisTests ships: 98 frames of adenylate kinase (AdK, 214 residues)
going from its closed to its open form (a DIMS transition path, in vacuum). Its slow motion is
the opening of two domains, LID and NMP, away from the CORE.

The features are the kind a TICA of a protein starts from: backbone dihedrals (as cos and sin,
which have no jump at ±180°) and distances between Cα atoms, of every 25th residue, so that the
features stay fewer than the frames of so short a trajectory.
"""

import warnings

import matplotlib.pyplot as plt
import MDAnalysis as mda
import numpy as np
from MDAnalysis.analysis.dihedrals import Ramachandran
from MDAnalysis.lib.distances import self_distance_array
from MDAnalysisTests.datafiles import DCD, PSF

from lagstat_tica import TICA

# Warnings as one line each, without the path of the code that raised them; MDAnalysis' notice
# about its DCD reader's future behaviour is not this tutorial's business.
warnings.formatwarning = lambda message, category, *args, **kwargs: "%s: %s\n" % (category.__name__, message)
warnings.filterwarnings("ignore", category=DeprecationWarning, module="MDAnalysis")

u = mda.Universe(PSF, DCD)
print(u.atoms.n_atoms, "atoms,", u.residues.n_residues, "residues,", u.trajectory.n_frames, "frames")

# %%
# Features
# --------

picked = u.select_atoms("protein and name CA and resid 2:213")[::25]
dihedrals = Ramachandran(picked.residues.atoms).run().results.angles  # (frames, residues, 2), degrees
radians = np.deg2rad(dihedrals.reshape(len(dihedrals), -1))
distances = np.array([self_distance_array(picked.positions) for _ in u.trajectory])
features = np.hstack([np.cos(radians), np.sin(radians), distances])
print("features:", features.shape, "(%d dihedral terms, %d distances)" % (2 * radians.shape[1], distances.shape[1]))

# %%
# TICA on the arrays
# ------------------
# An array is one trajectory, read in blocks into the accumulator a text file's lines go to:
# the same numbers give the same bits as text would. lagstat_tica warns that 97 lagged pairs
# are few for 72 columns: the small eigenvalues are fitted noise. The leading component of so
# short a path is still telling, as the next figure shows; a real study has thousands of
# frames per trajectory and would pass several trajectories as a list.

tica = TICA(lag=1, dim=2).fit(features)
y = tica.transform(features)
print("eigenvalues:", np.round(tica.eigenvalues_[:4], 4))
print("timescales (frames):", np.round(tica.timescales_[:4], 2))

# %%
# What IC 1 follows
# -----------------
# The domains' distances from the CORE, from their centres of mass, for comparison: the opening
# is what the slowest component sees.

core = u.select_atoms("protein and (resid 1:29 or resid 60:121 or resid 160:214) and name CA")
lid = u.select_atoms("protein and resid 122:159 and name CA")
nmp = u.select_atoms("protein and resid 30:59 and name CA")
opening = np.array([[np.linalg.norm(lid.center_of_mass() - core.center_of_mass()),
                     np.linalg.norm(nmp.center_of_mass() - core.center_of_mass())] for _ in u.trajectory])

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
left.plot(y[:, 0], label="IC 1")
left.plot(y[:, 1], label="IC 2")
left.set(xlabel="frame", ylabel="component", title="TICA components along the path")
left.legend(fontsize="small")
for k, name in enumerate(["LID–CORE", "NMP–CORE"]):
    right.scatter(y[:, 0], opening[:, k], s=10, label=name)
right.set(xlabel="IC 1", ylabel="distance of centres (Å)", title="IC 1 against the domains' opening")
right.legend(fontsize="small")
plt.show()

for k, name in enumerate(["LID-CORE", "NMP-CORE"]):
    print("|correlation| of IC 1 with the %s distance: %.2f" % (name, abs(np.corrcoef(y[:, 0], opening[:, k])[0, 1])))
