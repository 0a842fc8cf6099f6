"""The Jacobian of the fit's residuals by forward differences, every column's
run launched at once."""


def difference_steps(theta, step, bounds):
    """The step of each coordinate for a forward-difference Jacobian.

    Each step is `step` times max(1, |theta|), backward where the forward one
    leaves the bounds and the backward one does not.

    Parameters
    ----------
    theta : sequence of float
        The point in the fitted space.
    step : float
        The relative step.
    bounds : tuple of list
        The lower and upper bounds.

    Returns
    -------
    list of float
        The signed steps.
    """
    lb, ub = bounds
    hs = []
    for j, t in enumerate(theta):
        h = step * max(1.0, abs(t))
        if t + h > ub[j] and t - h >= lb[j]:
            h = -h  # a backward step where the forward one leaves the bounds
        hs.append(h)
    return hs


def difference_jacobian(evaluate, theta, f0, hs, both_failed):
    """The Jacobian at theta from residuals f0 there and steps hs.

    Parameters
    ----------
    evaluate : callable
        Points -> [(run, residuals or None)], their runs launched together.
    theta : ndarray
        The point.
    f0 : ndarray
        The residuals at theta.
    hs : list of float
        The steps, from `difference_steps`.
    both_failed : callable
        Called with the index of a column whose runs failed on both sides of
        theta; that column is zero.

    Returns
    -------
    ndarray
        Observations x parameters. Where the step's run fails, the other
        side of the point is taken.
    """
    import numpy as np
    points = []
    for j, h in enumerate(hs):
        p = np.array(theta, dtype=float)
        p[j] += h
        points.append(p)
    results = evaluate(points)
    J = np.zeros((len(f0), len(theta)))
    retry = []
    for j, (run, res) in enumerate(results):
        if res is None:
            retry.append(j)
        else:
            J[:, j] = (res - f0) / hs[j]
    if retry:  # the other side of the point, where the first step failed
        back = []
        for j in retry:
            p = np.array(theta, dtype=float)
            p[j] -= hs[j]
            back.append(p)
        for j, (run, res) in zip(retry, evaluate(back)):
            if res is None:
                both_failed(j)
            else:
                J[:, j] = (f0 - res) / hs[j]
    return J
