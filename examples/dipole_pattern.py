"""A half-wave strip dipole at 1 GHz, fed by a lumped port in an absorbing box and meshed by Gmsh:
its input match, radiation pattern and power balance beside the thin-dipole closed forms, then the
same dipole a quarter wavelength in front of a flat conducting reflector.

The model (SI units, time convention e^{+jwt}): a perfectly conducting strip of length L = lambda/2
and width w = lambda/100 along z in the plane y = 0, fed at its centre across a gap of height w by a
lumped port (reference impedance Z0 = 73 ohm, driving field along +z). The port's `power` key is
its incident power P_inc (1 W here): the port is a source of internal impedance Z0 whose available
power is P_inc, its incident voltage sqrt(2 P_inc Z0) peak, and S11 = (V_gap - V_inc)/V_inc. So the
power the antenna accepts is P_acc = P_inc (1 - |S11|^2). The air box |x|, |y|, |z| <= 0.9 lambda
is closed by the first-order absorbing boundary (ABC), whose faces are also the far-field
integration surface (the default: the first `abc` entry's tag). Elements are of size w on the
strip and grow to lambda/8 at 15 w from it; second-order vector elements.

Printed, each beside its reference, and checked: the script exits non-zero, naming the comparison,
when one is outside its tolerance. Measured values (1 and 8 threads give the same digits):
- |S11| and the input impedance Z_in = Z0 (1 + S11)/(1 - S11): printed beside the thin-wire value
  73.1 + j42.5 ohm (induced EMF: an infinitely thin wire with a sinusoidal current), not checked.
  This strip has a finite thickness (an equivalent wire of radius w/4, L/2a = 100) and is fed
  across a 3 mm gap, both of which move Z_in away from the thin-wire value; and Z_in is the number
  most sensitive to the mesh near the feed: 98.9 + j59.4 ohm measured, 96.8 + j55.9 ohm with the
  elements growing over 30 w, 92.6 + j51.7 ohm with elements of w/2 on the strip, but
  129.5 + j103.7 ohm when they reach lambda/8 within 6 w (the strip's near field, falling as
  1/distance, is then coarsely resolved). The pattern and the power balance move far less over
  these meshes: the peak directivity by 0.05 dB, P_rad/P_acc by 0.01.
- Peak directivity, within 0.3 dB of the thin half-wave dipole's 2.15 dBi (measured 2.26 dBi;
  2.22 to 2.41 dBi over the meshes and the boxes of half-width 0.6 to 1 lambda tried). The
  first-order ABC reflects part of the waves that meet its faces obliquely, and the reflected
  waves ripple the pattern: the H-plane (theta = 90 deg), which the thin strip fills uniformly,
  varies by 0.07 dB, and the peak is the largest sample of that ripple; the cut is also a little
  narrower than the closed form (below), which raises the peak.
- E-plane cuts phi = 0 (the strip's plane) and phi = 90 deg: D(theta) every 15 deg beside the closed
  form D(theta) = 1.64 [cos(pi/2 cos theta)/sin theta]^2 (dBi). On the axis the closed form is
  -inf and the computed value a deep null (below -50 dBi): printed, not compared. Checked within
  0.5 dB where the closed form is above -10 dBi (theta = 30..150 deg); measured 0.13 dB at most.
  The ABC's reflections weigh most where the direct wave is weak: in a box of half-width
  0.6 lambda, 0.4-0.5 dB at theta = 30 deg, which is why this box is 0.9 lambda.
- Radiated over accepted power, P_rad/P_acc, within 3 % of 1 (measured 1.0085, 0.99 to 1.017 over
  the meshes tried): the air is lossless, so all accepted power leaves through the box. P_rad is the
  far-field intensity integrated over the sphere (3 x 10 deg samples); the ABC's reflections seen
  by the integration surface and the discretisation of the surface fields make the difference.
- The dipole a quarter wavelength in front of a square conducting plate of side 0.6 lambda (in the
  plane y = -lambda/4, under the [pec] tag of the strip): front-to-back ratio (phi = 90 against
  phi = 270 deg, theta = 90 deg) at least 8 dB (measured 12.5 dB: the plate's reflection adds in
  phase in front, a finite plate spills some power behind it), and the front directivity within
  1 dB of the 7.48 dBi of an infinite reflector (image theory, computed below; measured 7.35 dBi).

Run time with PARDISO (two sweeps of 130 000 unknowns): about 9 s on 8 threads, 15 s on 2, 23 s on
one.
"""
import math
import os
import sys
import tempfile
import time

import gmsh
import numpy as np

from vantrel import Simulation

C0 = 299792458.0
FREQ = 1e9
LAM = C0 / FREQ               # 0.3 m
LENGTH = LAM / 2              # dipole length, tip to tip
WIDTH = LAM / 100             # strip width, also the feed gap's height
HALF_BOX = 0.9 * LAM          # half-width of the absorbing box
H_FAR = LAM / 8               # element size away from the strip
GRADING = 15 * WIDTH          # the elements grow from WIDTH to H_FAR over this distance
REFLECTOR = (LAM / 4, 0.6 * LAM)  # (distance behind the dipole, side of the square plate)

Z0 = 73.0                     # lumped port reference impedance, ohm
P_INC = 1.0                   # lumped port incident power, W

# Surface tags: 2 the absorbing box faces, 3 the conductors, 4 the feed gap; 10 the air volume.
CONFIG = f"""
[mesh]
file = "dipole.msh"            # the mesh comes as bytes: this name is not read

[frequency]
values = [{FREQ}]

[[ports]]                      # the box faces: first-order absorbing boundary, far-field surface
type = "abc"
tag = 2

[[ports]]                      # the feed gap
type = "lumped"
tag = 4
z0 = {Z0}
power = {P_INC}
direction = [0, 0, 1]

[pec]                          # the strip's arms (and the reflector)
tags = [3]
"""

# Far-field grid: theta in steps of 3 deg (so every 15 deg is a sample), phi in steps of 10 deg.
N_THETA, N_PHI = 61, 36

# Tolerances (see the docstring)
TOL_PEAK_DB = 0.3
TOL_CUT_DB = 0.5
CUT_FLOOR_DBI = -10.0
TOL_POWER = 0.03
MIN_FRONT_TO_BACK_DB = 8.0
TOL_REFLECTOR_DB = 1.0


def mesh_dipole(reflector=None):
    """The MSH 4.1 bytes of the strip dipole in its absorbing box, with the plate
    reflector = (distance, side) behind it when given."""
    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("dipole")
        occ = gmsh.model.occ
        hb, w = HALF_BOX, WIDTH
        box = occ.addBox(-hb, -hb, -hb, 2 * hb, 2 * hb, 2 * hb)
        # the strip drawn in the plane z = 0 along y, in three pieces: two arms and the gap
        arm = LENGTH / 2 - w / 2
        strip = [(2, occ.addRectangle(-w / 2, w / 2, 0, w, arm)),
                 (2, occ.addRectangle(-w / 2, -LENGTH / 2, 0, w, arm)),
                 (2, occ.addRectangle(-w / 2, -w / 2, 0, w, w))]
        # then turned about x into the plane y = 0 along z: (x, y, 0) -> (x, 0, y)
        occ.rotate(strip, 0, 0, 0, 1, 0, 0, math.pi / 2)
        sheets = list(strip)
        if reflector is not None:
            distance, side = reflector
            plate = occ.addRectangle(-side / 2, -side / 2, 0, side, side)
            occ.rotate([(2, plate)], 0, 0, 0, 1, 0, 0, math.pi / 2)
            occ.translate([(2, plate)], 0, -distance, 0)
            sheets.append((2, plate))
        occ.fragment([(3, box)], sheets)  # the sheets become surfaces inside the air volume
        occ.synchronize()

        abc, pec, gap = [], [], []
        for _, ent in gmsh.model.getEntities(2):
            x0, y0, z0, x1, y1, z1 = gmsh.model.getBoundingBox(2, ent)
            if max(map(abs, (x0, y0, z0, x1, y1, z1))) > 0.99 * hb:
                abc.append(ent)
            elif y1 < -1e-6:  # the plate, behind the strip's plane
                pec.append(ent)
            elif z1 - z0 < w + 1e-6:  # the piece w high at the centre
                gap.append(ent)
            else:
                pec.append(ent)
        gmsh.model.addPhysicalGroup(2, abc, 2)
        gmsh.model.addPhysicalGroup(2, pec, 3)
        gmsh.model.addPhysicalGroup(2, gap, 4)
        gmsh.model.addPhysicalGroup(3, [e for _, e in gmsh.model.getEntities(3)], 10)

        # element size: w up to w from the strip, growing linearly to H_FAR at GRADING from it
        strip_faces = [e for e in pec + gap if gmsh.model.getBoundingBox(2, e)[4] > -1e-6]
        field = gmsh.model.mesh.field
        dist = field.add("Distance")
        field.setNumbers(dist, "SurfacesList", strip_faces)
        size = field.add("Threshold")
        field.setNumber(size, "InField", dist)
        field.setNumber(size, "SizeMin", w)
        field.setNumber(size, "SizeMax", H_FAR)
        field.setNumber(size, "DistMin", w)
        field.setNumber(size, "DistMax", GRADING)
        field.setAsBackgroundMesh(size)
        gmsh.option.setNumber("Mesh.MeshSizeExtendFromBoundary", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
        gmsh.model.mesh.generate(3)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "dipole.msh")
            gmsh.write(path)
            with open(path, "rb") as fh:
                return fh.read()
    finally:
        gmsh.finalize()


def solve(reflector=None):
    """(simulation, sweep result, radiation pattern) of the dipole, with the reflector if given."""
    start = time.perf_counter()
    sim = Simulation.from_bytes(mesh_dipole(reflector), CONFIG)
    result = sim.run_sweep()
    pattern = sim.compute_farfield(result, n_theta=N_THETA, n_phi=N_PHI)
    print(f"{sim.n_tets} tetrahedra, {sim.n_dofs} unknowns, "
          f"meshed, solved and integrated in {time.perf_counter() - start:.1f} s")
    return sim, result, pattern


def half_wave_directivity_dbi(theta):
    """Thin half-wave dipole along z (sinusoidal current): D = 1.64 [cos(pi/2 cos t)/sin t]^2, in
    dBi; -inf on the axis."""
    s = math.sin(theta)
    if s < 1e-12:
        return -math.inf
    return 10 * math.log10(1.64 * (math.cos(math.pi / 2 * math.cos(theta)) / s) ** 2)


def infinite_reflector_directivity_dbi(distance):
    """Peak directivity of a thin half-wave dipole along z at `distance` in front of an infinite
    conducting plane y = 0, by image theory: the image current is opposite, so the field in front
    is the dipole's times 2j sin(k d sin t sin p), and nothing goes behind."""
    kd = 2 * math.pi * distance / LAM
    theta = np.linspace(1e-6, math.pi - 1e-6, 721)[None, :]
    phi = np.linspace(0, math.pi, 721)[:, None]  # the front half space
    u = ((np.cos(math.pi / 2 * np.cos(theta)) / np.sin(theta)) ** 2
         * np.sin(kd * np.sin(theta) * np.sin(phi)) ** 2)
    power = np.sum(u * np.sin(theta)) * (theta[0, 1] - theta[0, 0]) * (phi[1, 0] - phi[0, 0])
    return 10 * math.log10(4 * math.pi * u.max() / power)


def index_of(angles_rad, degrees):
    """Index of the grid angle equal to `degrees`."""
    i = int(np.argmin(np.abs(np.degrees(angles_rad) - degrees)))
    assert abs(math.degrees(angles_rad[i]) - degrees) < 1e-9, degrees
    return i


def main():
    failed = []

    def check(ok, what):
        if not ok:
            failed.append(what)

    # ---- the dipole alone
    print(f"Half-wave strip dipole: L = {LENGTH * 1e3:.1f} mm, w = {WIDTH * 1e3:.1f} mm at "
          f"{FREQ / 1e9:g} GHz, box half-width {HALF_BOX / LAM:g} lambda")
    sim, result, pattern = solve()
    s11 = complex(result.sparams[0, 0, 0])  # [frequency, observation port, excited port]
    z_in = Z0 * (1 + s11) / (1 - s11)
    print(f"|S11| = {20 * math.log10(abs(s11)):.2f} dB (Z0 = {Z0:g} ohm), "
          f"Z_in = {z_in.real:.1f} {'-' if z_in.imag < 0 else '+'} j{abs(z_in.imag):.1f} ohm "
          f"(thin wire: 73.1 + j42.5 ohm)")

    peak = pattern.peak_directivity_dbi
    print(f"Peak directivity {peak:.2f} dBi (thin half-wave dipole: 2.15 dBi, "
          f"difference {peak - 2.15:+.2f} dB, tolerance {TOL_PEAK_DB} dB)")
    check(abs(peak - 2.15) <= TOL_PEAK_DB, f"peak directivity {peak:.2f} dBi vs 2.15 dBi")

    d = pattern.directivity_dbi  # (n_phi, n_theta)
    theta, phi = pattern.theta_rad, pattern.phi_rad
    cuts = [index_of(phi, 0), index_of(phi, 90)]
    print(f"E-plane cuts, directivity (dBi), checked to {TOL_CUT_DB} dB where the closed form "
          f"is above {CUT_FLOOR_DBI:g} dBi:")
    print(f"{'theta':>7} {'phi = 0':>9} {'phi = 90':>9} {'closed form':>12} {'worst diff':>11}")
    worst = 0.0
    for deg in range(0, 181, 15):
        i = index_of(theta, deg)
        ref = half_wave_directivity_dbi(theta[i])
        values = [d[j, i] for j in cuts]
        line = f"{deg:7d} {values[0]:9.2f} {values[1]:9.2f} {ref:12.2f}"
        if ref > CUT_FLOOR_DBI:
            diff = max(abs(v - ref) for v in values)
            worst = max(worst, diff)
            line += f" {diff:11.2f}"
            check(diff <= TOL_CUT_DB, f"E-plane directivity at theta = {deg} deg: "
                                      f"{values[0]:.2f}, {values[1]:.2f} dBi vs {ref:.2f} dBi")
        print(line)
    equator = d[:, index_of(theta, 90)]
    print(f"H-plane (theta = 90 deg): {equator.min():.2f} to {equator.max():.2f} dBi "
          f"over phi (an ideal thin dipole: 2.15 dBi in every direction)")

    accepted = P_INC * (1 - abs(s11) ** 2)
    ratio = pattern.radiated_power / accepted
    print(f"Radiated power {pattern.radiated_power:.4f} W, accepted P_inc (1 - |S11|^2) = "
          f"{accepted:.4f} W: ratio {ratio:.4f} (tolerance {TOL_POWER:.0%})")
    check(abs(ratio - 1) <= TOL_POWER, f"radiated / accepted power {ratio:.4f} vs 1")

    # ---- with a reflector a quarter wavelength behind
    distance, side = REFLECTOR
    print(f"\nWith a {side / LAM:g} lambda square conducting plate {distance / LAM:g} lambda "
          f"behind the dipole (at y = -{distance * 1e3:.0f} mm):")
    sim, result, pattern = solve(REFLECTOR)
    d, theta, phi = pattern.directivity_dbi, pattern.theta_rad, pattern.phi_rad
    i90 = index_of(theta, 90)
    front, back = d[index_of(phi, 90), i90], d[index_of(phi, 270), i90]
    infinite = infinite_reflector_directivity_dbi(distance)
    print(f"Front (+y) {front:.2f} dBi, back (-y) {back:.2f} dBi: front-to-back ratio "
          f"{front - back:.1f} dB (at least {MIN_FRONT_TO_BACK_DB:g} dB)")
    print(f"Front directivity beside an infinite reflector's {infinite:.2f} dBi: "
          f"{front - infinite:+.2f} dB (tolerance {TOL_REFLECTOR_DB:g} dB); "
          f"peak {pattern.peak_directivity_dbi:.2f} dBi")
    check(front - back >= MIN_FRONT_TO_BACK_DB, f"front-to-back ratio {front - back:.1f} dB")
    check(abs(front - infinite) <= TOL_REFLECTOR_DB,
          f"reflector front directivity {front:.2f} dBi vs {infinite:.2f} dBi")

    if failed:
        sys.exit("FAILED: " + "; ".join(failed))
    print("All comparisons within their tolerances.")


if __name__ == "__main__":
    main()
