#!/usr/bin/python3
"""The coherence measure of a whole run in NumPy, as a peer to time the program against.

    numpy_peer.py IDIFF NLEN SHIFT ORDER [--out FILE] [--compare GRID]

Run in a directory holding `list` and its series (one number a line), as the program is.
Everything is double precision and batched over all windows: the preprocessing as the
program does it (least-squares line, optional first differences, ten passes of centring
and clipping at three population standard deviations, standardisation), the biased lag
covariances by matrix products, Whittle's multichannel recursion, the transfer function
H(f) = I + sum_l A_l exp(-2 pi i f l / nfft) at f = 0 .. nfft/2 - 1 by one matrix product,
and the multiple coherences from M = L^-1 H (V = L L^T): with G = M^H M, the inverse of the
spectral matrix up to a constant, R(m) = 1 - 1 / (G(m,m) (G^-1)(m,m)), where G(m,m) is
column m of M squared and (G^-1)(m,m) row m of M^-1 squared (one batched inversion a
frequency). The measure is sqrt(R(1) ... R(nch)).

It writes the grid as the program does (DSAA text, four values a record, CR LF) to FILE
(default numpy_peer.grd). With --compare it reads a grid of the program and prints how far
the two are apart.
"""
import argparse
import sys

import numpy as np

BLANK = 1.70141e38


def read_series():
    with open("list") as f:
        names = [line.strip() for line in f if line.strip()]
    # Rounded to float, as the program stores its samples.
    series = [np.fromfile(name, dtype=np.float64, sep=" ").astype(np.float32) for name in names]
    samples = min(len(s) for s in series)
    return np.stack([s[:samples] for s in series]).astype(np.float64)


def preprocess(x, idiff):
    """x: (windows, channels, n), modified in place and returned."""
    n = x.shape[-1]
    big_n = float(n)
    k = np.arange(1, n + 1, dtype=np.float64)
    s0 = x.sum(axis=-1)
    s1 = x @ k
    m = s0 / big_n
    q = s1 / ((big_n + 1.0) * big_n)
    b = (q - 0.5 * m) * big_n * 12.0 / (big_n - 1.0)
    a = m - (big_n + 1.0) * b / (2.0 * big_n)
    x -= a[..., None]
    x -= (b / big_n)[..., None] * k
    if idiff == 1:
        x[..., :-1] = np.diff(x, axis=-1)
        x[..., -1] = 0.0
    for _ in range(10):
        x -= x.mean(axis=-1, keepdims=True)
        t = 3.0 * np.sqrt(np.einsum("wct,wct->wc", x, x) / big_n)[..., None]
        np.clip(x, -t, t, out=x)
    x -= x.mean(axis=-1, keepdims=True)
    x /= np.sqrt(np.einsum("wct,wct->wc", x, x) / big_n)[..., None]
    return x


def whittle(x, order):
    """The coefficients A_1..A_p (windows, p, c, c) of x(t) + sum A_l x(t-l) = e(t), the
    innovation covariance V, and whether an inversion met a singular matrix."""
    w, c, n = x.shape
    gamma = np.empty((order + 1, w, c, c))
    for lag in range(order + 1):
        gamma[lag] = x[:, :, lag:] @ x[:, :, : n - lag].transpose(0, 2, 1)
    gamma /= float(n)
    vf = gamma[0].copy()
    vb = gamma[0].copy()
    a = np.zeros((order, w, c, c))
    b = np.zeros((order, w, c, c))
    singular = np.zeros(w, dtype=bool)

    def inverse(v):
        try:
            return np.linalg.inv(v)
        except np.linalg.LinAlgError:
            out = np.full_like(v, np.nan)
            for i in range(len(v)):
                try:
                    out[i] = np.linalg.inv(v[i])
                except np.linalg.LinAlgError:
                    singular[i] = True
            return out

    for m in range(1, order + 1):
        d = gamma[m].copy()
        for lag in range(1, m):
            d += a[lag - 1] @ gamma[m - lag]
        vf_inv, vb_inv = inverse(vf), inverse(vb)
        am = -d @ vb_inv
        bm = -d.transpose(0, 2, 1) @ vf_inv
        new_a = a[: m - 1] + am @ b[m - 2 :: -1] if m > 1 else None
        new_b = b[: m - 1] + bm @ a[m - 2 :: -1] if m > 1 else None
        if m > 1:
            a[: m - 1], b[: m - 1] = new_a, new_b
        a[m - 1], b[m - 1] = am, bm
        vf = vf + am @ d.transpose(0, 2, 1)
        vb = vb + bm @ d
    inverse(vf)
    inverse(vb)
    return a.transpose(1, 0, 2, 3), vf, singular


def measures(a, v, nfft, chunk=32):
    """The measure (windows, nfreq) from the coefficients and innovation covariances."""
    w, p, c, _ = a.shape
    nfreq = nfft // 2
    e = np.exp(-2j * np.pi * np.outer(np.arange(nfreq), np.arange(1, p + 1)) / nfft)
    l_inv = np.linalg.inv(np.linalg.cholesky(v))
    out = np.empty((w, nfreq))
    eye = np.eye(c).reshape(1, 1, c, c)
    for first in range(0, w, chunk):
        last = min(w, first + chunk)
        h = (e @ a[first:last].reshape(last - first, p, c * c)).reshape(-1, nfreq, c, c) + eye
        m = l_inv[first:last, None] @ h
        m_inv = np.linalg.inv(m)
        g_diag = np.einsum("wfkm,wfkm->wfm", m.real, m.real) + np.einsum(
            "wfkm,wfkm->wfm", m.imag, m.imag
        )
        g_inv_diag = np.einsum("wfmk,wfmk->wfm", m_inv.real, m_inv.real) + np.einsum(
            "wfmk,wfmk->wfm", m_inv.imag, m_inv.imag
        )
        r = 1.0 - 1.0 / (g_diag * g_inv_diag)
        out[first:last] = np.sqrt(np.prod(r, axis=-1))
    return out


def write_grid(path, grid, nlen, shift, nfft):
    """grid: (nfreq, windows) with NaN where undefined."""
    nfreq, nx = grid.shape
    z = np.where(np.isfinite(grid), grid, BLANK)
    finite = grid[np.isfinite(grid)]
    zmin, zmax = (finite.min(), finite.max()) if finite.size else (0.0, 0.0)
    xmin, xmax = nlen - 1, (nx - 1) * shift + nlen - 1
    lines = [
        "DSAA",
        "%12d%12d" % (nx, nfreq),
        "%25.16f%25.15f" % (xmin, xmax),
        "%25.16E%25.16E" % (0.0, (nfreq - 1) / nfft),
        "%16.6E%16.6E" % (zmin, zmax),
    ]
    full = nx // 4 * 4
    fmt4 = "%16.6E%16.6E%16.6E%16.6E"
    for row in z:
        lines.extend(fmt4 % tuple(row[i : i + 4]) for i in range(0, full, 4))
        if full < nx:
            lines.append("%16.6E" * (nx - full) % tuple(row[full:]))
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def read_grid(path):
    with open(path) as f:
        f.readline()
        nx, ny = (int(v) for v in f.readline().split())
        for _ in range(3):
            f.readline()
        z = np.array(f.read().split(), dtype=np.float64)
    z = z.reshape(ny, nx)
    return np.where(z > 1e38, np.nan, z)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("idiff", "nlen", "shift", "order"):
        parser.add_argument(name, type=int)
    parser.add_argument("--out", default="numpy_peer.grd")
    parser.add_argument("--compare")
    args = parser.parse_args()
    data = read_series()
    nfft = 2
    while nfft < args.nlen:
        nfft *= 2
    windows = (data.shape[1] - args.nlen) // args.shift + 1
    view = np.lib.stride_tricks.sliding_window_view(data, args.nlen, axis=1)
    x = np.ascontiguousarray(view[:, : (windows - 1) * args.shift + 1 : args.shift].transpose(1, 0, 2))
    preprocess(x, args.idiff)
    a, v, singular = whittle(x, args.order)
    grid = measures(a, v, nfft)
    grid[singular] = np.nan
    write_grid(args.out, grid.T, args.nlen, args.shift, nfft)
    if args.compare:
        ours = read_grid(args.compare)
        peer = read_grid(args.out)
        both = np.isfinite(ours) & np.isfinite(peer)
        diff = np.abs(ours - peer)[both]
        print(
            "nodes %d, blank in one only %d, largest difference %.3g, median %.3g, "
            "above 1e-5: %d, above 1e-4: %d"
            % (
                ours.size,
                int(np.sum(np.isfinite(ours) != np.isfinite(peer))),
                diff.max() if diff.size else 0.0,
                np.median(diff) if diff.size else 0.0,
                int(np.sum(diff > 1e-5)),
                int(np.sum(diff > 1e-4)),
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
