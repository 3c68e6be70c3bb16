"""NumPy evaluations of the element laws of loads, flexible parameters,
transformers and the regulator, written from the model's formulas for the
tests to compare the engine against."""

import math
import sys

import numpy as np

# --- loads ---------------------------------------------------------------


def power_law(s, dv):
    return np.conj(s / dv)


def admittance_law(y, dv):
    return y * dv


def current_law(i, dv):
    """The current set point turned to the phase of the voltage."""
    return i * dv / np.abs(dv)


def star_law(law, values, v):
    """Port currents of a star load of potentials v (the neutral last)."""
    phases = law(values, v[:-1] - v[-1])
    return np.append(phases, -phases.sum())


def delta_law(law, values, v):
    """(port currents, phase currents) of a delta load of potentials v."""
    b = law(values, v - np.roll(v, -1))
    return b - np.roll(b, 1), b


def balancer_admittance(z2, ym, k):
    """The load balancer's phase admittance matrix."""
    ones = np.ones((3, 3))
    return np.linalg.inv(z2 * np.eye(3) + ((1 + 1 / k ** 2) * np.eye(3) - (ones - np.eye(3)) / k) / ym)


# --- flexible parameters -------------------------------------------------


class Law:
    """A control law: its kind name and its six numbers."""

    def __init__(self, kind, u_min=0.0, u_down=0.0, u_up=0.0, u_max=0.0, alpha=0.0, epsilon=0.0):
        self.kind, self.u_min, self.u_down, self.u_up, self.u_max = kind, u_min, u_down, u_up, u_max
        self.alpha, self.epsilon = alpha, epsilon

    def args(self):
        return (self.kind, self.u_min, self.u_down, self.u_up, self.u_max, self.alpha, self.epsilon)


def _active(c, u, pth, s_max):
    a, e = c.alpha, c.epsilon
    if c.kind == "constant":
        return pth
    if c.kind == "p_max_u_production":
        k = ((pth / s_max + 1) * (c.u_max - c.u_up) + c.u_up) / c.u_max
        e1 = math.exp((u / c.u_max - 1) * a)
        e2 = math.exp((u / c.u_max - k) * a)
        log = math.log((e1 + 1) / (e2 + 1))
        e3 = math.exp(-(1 - k) / e)
        return (log * (1 / (((e3 * e + 1) - k) * a)) + 1) * pth
    if c.kind == "p_max_u_consumption":
        k = (c.u_down - (1 - pth / s_max) * (c.u_down - c.u_min)) / c.u_min
        e1 = math.exp((u / c.u_min - k) * a)
        e2 = math.exp((u / c.u_min - 1) * a)
        log = math.log((e1 + 1) / (e2 + 1))
        e3 = math.exp(-(k - 1) / e)
        return (log * (1 / (-((e3 * e + k) - 1) * a))) * pth
    raise RuntimeError("Bad control type for P")


def _reactive(c, u, v, q_min, q_max):
    a = c.alpha
    if c.kind == "constant":
        return v
    if c.kind == "q_u":
        x = u / c.u_max
        m, d, r = c.u_min / c.u_max, c.u_down / c.u_max, c.u_up / c.u_max
        low = math.log((math.exp((x - d) * a) + 1) / (math.exp((x - m) * a) + 1)) * (1 / ((m - d) * a)) - 1
        high = math.log((math.exp((x - r) * a) + 1) / (math.exp((x - 1) * a) + 1)) * (1 / ((1 - r) * a))
        return ((v - q_min) * low + v) + (q_max - v) * high
    raise RuntimeError("Bad control type for Q")


def _smooth_floor_min(b, c, alpha, epsilon):
    k = -0.15 * alpha
    d, e = math.exp(k * b), math.exp(k * c)
    if max(d, e) < sys.float_info.min:
        # Subnormal or vanished weights: the quotient below keeps few digits, or none.
        raise FloatingPointError("the smooth minimum's weights underflow")
    w = (e * c + d * b) / (e + d)
    return math.exp(-w / epsilon) * epsilon + w


def compute_power(control_p, control_q, projection, limits, u, s_th):
    """The power of one flexible phase at voltage magnitude u, by the
    textbook formulas: an ArithmeticError or ValueError where they overflow
    or lose their digits. projection = (kind, alpha, epsilon);
    limits = (s_max, q_min, q_max)."""
    s_max, q_min, q_max = limits
    pth, v = s_th.real, s_th.imag
    p_power = _active(control_p, u, pth, s_max)
    q_power = _reactive(control_q, u, v, q_min, q_max)
    if control_p.kind == "constant" and control_q.kind == "constant":
        return complex(p_power, q_power)
    kind, a, e = projection
    p, q = p_power / s_max, q_power / s_max
    if kind == "euclidean":
        s = q * q + p * p
        g = math.exp(-s / e) * e + s
        o = math.log1p(math.exp((math.sqrt(g) - 1) * a)) * (1 / a) + 1
        p, q = p / o, q / o
    elif kind == "keep_p":
        q = math.sqrt(_smooth_floor_min(q * q, 1 - p * p, a, e)) * math.tanh(a * q)
    elif kind == "keep_q":
        p = (1.0 if pth >= 0 else -1.0) * math.sqrt(_smooth_floor_min(p * p, 1 - q * q, a, e))
    return complex(p * s_max, q * s_max)


def _log_ratio(x, y):
    """ln((e^x + 1) / (e^y + 1)), for any x and y."""
    return np.logaddexp(0.0, x) - np.logaddexp(0.0, y)


def _stable_active(c, u, pth, s_max):
    a, e = c.alpha, c.epsilon
    if c.kind == "constant":
        return pth
    if c.kind == "p_max_u_production":
        k = ((pth / s_max + 1) * (c.u_max - c.u_up) + c.u_up) / c.u_max
        gap = (1 - k) + e * np.exp(-(1 - k) / e)
        return pth * (1 + _log_ratio(a * (u / c.u_max - 1), a * (u / c.u_max - k)) / (a * gap))
    k = (c.u_down - (1 - pth / s_max) * (c.u_down - c.u_min)) / c.u_min
    gap = (k - 1) + e * np.exp(-(k - 1) / e)
    return pth * _log_ratio(a * (u / c.u_min - k), a * (u / c.u_min - 1)) / (-a * gap)


def _stable_reactive(c, u, v, q_min, q_max):
    if c.kind == "constant":
        return v
    a, x = c.alpha, u / c.u_max
    m, d, r = c.u_min / c.u_max, c.u_down / c.u_max, c.u_up / c.u_max
    low = _log_ratio(a * (x - d), a * (x - m)) / (a * (m - d)) - 1
    high = _log_ratio(a * (x - r), a * (x - 1)) / (a * (1 - r))
    return v + (v - q_min) * low + (q_max - v) * high


def _stable_floor_min(b, c, alpha, epsilon):
    z = -0.15 * alpha * np.array([b, c])
    weights = np.exp(z - z.max())  # the larger weight is 1
    w = weights @ np.array([b, c]) / weights.sum()
    return np.exp(-w / epsilon) * epsilon + w


def stable_compute_power(control_p, control_q, projection, limits, u, s_th):
    """compute_power in forms free of overflow (log-sum-exp, the largest
    exponent factored out), for any alpha and voltage."""
    s_max, q_min, q_max = limits
    pth, v = s_th.real, s_th.imag
    p_power = _stable_active(control_p, u, pth, s_max)
    q_power = _stable_reactive(control_q, u, v, q_min, q_max)
    if control_p.kind == "constant" and control_q.kind == "constant":
        return complex(p_power, q_power)
    kind, a, e = projection
    p, q = p_power / s_max, q_power / s_max
    if kind == "euclidean":
        s = p * p + q * q
        radius = np.sqrt(s + e * np.exp(-s / e))
        o = 1 + np.logaddexp(0.0, a * (radius - 1)) / a
        p, q = p / o, q / o
    elif kind == "keep_p":
        q = np.sqrt(_stable_floor_min(q * q, 1 - p * p, a, e)) * np.tanh(a * q)
    elif kind == "keep_q":
        p = (1.0 if pth >= 0 else -1.0) * np.sqrt(_stable_floor_min(p * p, 1 - q * q, a, e))
    return complex(p * s_max, q * s_max)


# --- regulator -----------------------------------------------------------


def clip_tap(t, a, k):
    """Smooth min(max(t, 1 - a), 1 + a)."""
    d = abs(t - (1 - a))
    s1 = math.log1p(math.exp(-k * d)) / k + ((t - (1 - a)) + d) * 0.5
    f = t - (a + 1)
    s2 = math.log1p(math.exp(-k * abs(f))) / k + (abs(f) + f) * 0.5
    return (s1 + (1 - a)) - s2


# --- three-phase transformer windings ------------------------------------

_I = np.eye(3)
_P = np.roll(np.eye(3), 1, axis=1)  # (P x)_i = x_(i+1)
_Q = _P.T
_N = np.hstack([np.eye(3), -np.ones((3, 1))])


def winding_matrices(whv, wlv, clock):
    """(A1, H, A2, L, M, E, s): side potentials to winding voltages, winding
    currents to side currents, the LV voltage and HV current couplings and
    the sign of the vector group."""
    s = -1.0 if 4 <= clock <= 8 else 1.0
    if whv == "D":
        a1, h = (_I - _P, _I - _Q) if clock in (0, 4, 5, 6, 10, 11) else (_I - _Q, _I - _P)
    else:
        a1, h = _N, _I
    if wlv == "d":
        a2, lv = (_I - _P, _I - _Q) if clock in (0, 1, 2, 6, 7, 8) else (_I - _Q, _I - _P)
        m, e = _I, -_I
    elif wlv == "y":
        a2, lv, m, e = _N, _I, _I, -_I
        if clock in (2, 8):
            a2, lv, s = _P @ _N, _Q, -s
        elif clock in (4, 10):
            a2, lv, s = _Q @ _N, _P, -s
    else:
        a2, lv = _N, _I
        m, e = (_I - _Q, _P - _I) if clock in (0, 1, 2, 6, 7, 8) else (_I - _P, _Q - _I)
    return a1, h, a2, s * lv, s * m, e, s


def three_phase_currents(whv, wlv, clock, z2, ym, k, v1, v2):
    """Side-1 and side-2 port currents at port potentials v1, v2."""
    a1, h, a2, lv, m, e, s = winding_matrices(whv, wlv, clock)
    u1, u2 = a1 @ v1, a2 @ v2
    i2 = (s / z2) * (u2 - k.real * (m @ u1))
    j1 = ym * u1 + k.real * (e @ i2)
    return _with_neutral(h @ j1, len(v1)), _with_neutral(lv @ i2, len(v2))


def _with_neutral(phases, ports):
    return phases if ports == 3 else np.append(phases, -phases.sum())


def polar(r, theta):
    return complex(r * math.cos(theta), r * math.sin(theta))
