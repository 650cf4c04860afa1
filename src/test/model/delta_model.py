"""A plain, independent model of the delta generator, written from the
generator's rules rather than from its C++ source. Slow, but small enough to
read: the native engine must write exactly the same bytes.
"""

INT32_MAX = 2**31 - 1
FORWARD_FILL = -1
REVERSE_FILL = INT32_MAX


def head_size(v):
    if v == -(2**31):
        return 9
    v = abs(v)
    return 1 if v <= 23 else 2 if v <= 255 else 3 if v <= 65535 else 5


def cbor_head(major, v):
    if v <= 23:
        return bytes([major << 5 | v])
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if v < 1 << (8 * width):
            return bytes([major << 5 | info]) + v.to_bytes(width, "big")
    raise ValueError(v)


def replacement(new):
    return cbor_head(2, len(new)) + bytes(new)


class EditScript:
    def __init__(self, new):
        self.new = new
        self.insert_start, self.insert_length = -1, 0
        self.match_start, self.match_length = -1, 0
        self.budget = len(new)
        self.out = bytearray()

    def flush(self):
        if self.insert_start != -1:
            self.budget -= self.insert_length + head_size(self.insert_length)
            if self.budget <= 0:
                return False
            s = self.insert_start
            self.out += cbor_head(2, self.insert_length) + self.new[s:s + self.insert_length]
            self.insert_start = -1
        if self.match_start != -1:
            self.budget -= head_size(self.match_start) + head_size(self.match_length)
            if self.budget <= 0:
                return False
            self.out += cbor_head(0, self.match_start) + cbor_head(0, self.match_length)
            self.match_start = -1
        return True

    def match(self, start, length):
        if self.match_start != -1:
            if not self.flush():
                return False
            self.match_start, self.match_length = start, length
        elif self.insert_start == -1:
            self.match_start, self.match_length = start, length
        else:
            n = self.insert_length
            if length + head_size(n + length) - head_size(n) <= 1 + head_size(start):
                self.insert_length = n + length
            else:
                self.match_start, self.match_length = start, length
        return True

    def insert(self, start, length):
        if self.match_start == -1:
            if self.insert_start != -1:
                self.insert_length += length
            else:
                self.insert_start, self.insert_length = start, length
            return True
        cn, cs = self.match_length, self.match_start
        if cn + head_size(cn + length) - head_size(length) <= 1 + head_size(cs):
            self.match_start = -1
            if self.insert_start != -1:
                self.insert_length += cn + length
            else:
                self.insert_start, self.insert_length = start - cn, cn + length
            return True
        if not self.flush():
            return False
        self.insert_start, self.insert_length = start, length
        return True


class Coalescer:
    INSERT, MATCH, NONE = 0, 1, 2

    def __init__(self, script):
        self.script = script
        self.state, self.offset, self.run_length, self.single_run = self.NONE, 0, 0, True

    def _hand_over(self):
        if self.state == self.MATCH:
            return self.script.match(self.offset, self.run_length)
        if self.state == self.INSERT:
            return self.script.insert(self.offset, self.run_length)
        return True

    def match(self, position, length):
        if length <= 0:
            return True
        if self.state == self.MATCH:
            self.run_length += length
            return True
        self.single_run = self.single_run and self.state == self.NONE
        if not self._hand_over():
            return False
        self.state, self.offset, self.run_length = self.MATCH, position, length
        return True

    def insert(self, position, length):
        if length <= 0:
            return True
        if self.state == self.INSERT:
            self.run_length += length
            return True
        self.single_run = self.single_run and self.state == self.NONE
        if not self._hand_over():
            return False
        self.state, self.offset, self.run_length = self.INSERT, position, length
        return True

    def delete(self):
        if self.state == self.INSERT:
            return True
        self.single_run = self.single_run and self.state == self.NONE
        ok = self._hand_over()
        self.state = self.NONE
        return ok

    def close(self, old_length):
        if self.single_run:
            if self.state == self.INSERT:
                return 1
            if self.offset == 0 and self.run_length == old_length:
                return 2
        if not self._hand_over():
            return 1
        return 0 if self.script.flush() else 1


def corner(d, n):
    return d if d <= n else 2 * n - d


def base4_digits(d):
    g = 0
    while d:
        g += 1
        d >>= 2
    return g


class GaveUp(Exception):
    """The diagonal storage ran out."""


class Search:
    def __init__(self, old, new, script, storage_limit, cost_limit, seen=None):
        self.old, self.new, self.cs = old, new, script
        # Which paths a run took, so that checks can prove they covered them.
        self.seen = seen if seen is not None else {}
        self.cost_limit = cost_limit
        self.max_d = int((storage_limit - 3) / 4)  # truncates toward zero

    # Each step returns False when the script's budget ran out.
    def prefix_len(self, a, n, b, m):
        p, old, new = 0, self.old, self.new
        while p < min(n, m) and old[a + p] == new[b + p]:
            p += 1
        return p

    def diff(self, a, n, b, m):
        p = self.prefix_len(a, n, b, m)
        if not self.cs.match(a, p):
            return False
        return self.suffix_diff(a, n, b, m, p, self.cost_limit)

    def suffix_diff(self, a, n, b, m, pos, limit):
        lower = pos + max(0, n - m)
        i = n
        while i > lower and self.old[a + i - 1] == self.new[b + i - 1 + (m - n)]:
            i -= 1
        if pos == i:
            ok = self.cs.insert(b + i, m - n)
        elif pos == i + m - n:
            ok = self.cs.delete()
        else:
            ok = self.middlesnake(a + pos, i - pos, b + pos, i + m - n - pos, limit)
        return ok and self.cs.match(a + i, n - i)

    def prefix_diff(self, a, n, b, m, limit):
        p = self.prefix_len(a, n, b, m)
        if not self.cs.match(a, p):
            return False
        if n == p:
            return self.cs.insert(b + n, m - n)
        if m == p:
            return self.cs.delete()
        return self.middlesnake(a + p, n - p, b + p, m - p, limit)

    def recurse(self, a, n, b, m, s, t, k):
        return (self.suffix_diff(a, s, b, s + k, 0, self.cost_limit)
                and self.cs.match(a + s, t - s)
                and self.prefix_diff(a + t, n - t, b + t + k, m - t - k, self.cost_limit))

    def trim_only(self, a, n, b, m):
        p = self.prefix_len(a, n, b, m)
        if not self.cs.match(a, p):
            return False
        lower = p + max(0, n - m)
        j = n
        while j > lower and self.old[a + j - 1] == self.new[b + j - 1 + (m - n)]:
            j -= 1
        if j == p:
            ok = self.cs.insert(b + j, m - n)
        elif j + m - n == p:
            ok = self.cs.delete()
        else:
            ok = self.cs.insert(b + p, j + m - n - p) and self.cs.delete()
        return ok and self.cs.match(a + j, n - j)

    @staticmethod
    def best_points(F, R, n, m, k_lo, k_hi, m_lo, m_hi):
        delta = n - m
        fx, fy = 0, 0
        for k in range(k_lo, k_hi + 1, 2):
            x = min(F.get(k, FORWARD_FILL), n, m - k)
            if x + x + k > fx + fy:
                fx, fy = x, x + k
        rx, ry = n, m
        for mm in range(m_lo, m_hi + 1, 2):
            l = delta - mm
            x = max(R.get(mm, REVERSE_FILL), 0, l)
            if x + x - l < rx + ry:
                rx, ry = x, x - l
        return fx, fy, rx, ry

    def middlesnake(self, a, n, b, m, limit):
        old, new = self.old, self.new
        F, R = {0: 0}, {0: n}
        count, d, delta = limit, 1, n - m
        while True:
            c_old, c_new = corner(d, n), corner(d, m)
            for k in range(-c_old, c_new + 1, 2):
                up, down = F.get(k + 1, FORWARD_FILL), F.get(k - 1, FORWARD_FILL)
                x0 = up + 1 if up >= down else down
                x = x0
                while x < n and x + k < m and old[a + x] == new[b + x + k]:
                    x += 1
                if delta % 2:
                    mm = delta + k
                    if abs(mm) < d and R.get(mm, REVERSE_FILL) <= x:
                        return self.recurse(a, n, b, m, x0, x, k)
                F[k] = x
            for mm in range(-c_new, c_old + 1, 2):
                l = delta - mm
                up, down = R.get(mm + 1, REVERSE_FILL), R.get(mm - 1, REVERSE_FILL)
                x0 = up if up < down else down - 1
                x = x0
                while x > max(0, l) and old[a + x - 1] == new[b + x - 1 - l]:
                    x -= 1
                if delta % 2 == 0:
                    k = -l
                    if abs(k) <= d and F.get(k, FORWARD_FILL) >= x:
                        return self.recurse(a, n, b, m, x, x0, k)
                R[mm] = x
            bail = d > count
            if d % 64 == 0:
                fx, fy, rx, ry = self.best_points(F, R, n, m, -c_old, c_new, -c_new, c_old)
                if (fx + fy) + (n + m - rx - ry) < (2 ** base4_digits(d)) * d:
                    self.note("slow progress")
                    count -= 48
                    bail = False
            if bail:
                return self.bail(F, R, a, n, b, m, c_old, c_new, count)
            d += 1
            if d > self.max_d:
                self.note("storage exhausted")
                raise GaveUp()

    def note(self, what):
        self.seen[what] = self.seen.get(what, 0) + 1

    def bail(self, F, R, a, n, b, m, c_old, c_new, count):
        fx, fy, rx, ry = self.best_points(F, R, n, m, -c_old, c_new, -c_new, c_old)
        self.note("bail")
        if fx < rx and fy < ry:
            return (self.suffix_diff(a, fx, b, fy, 0, self.cost_limit)
                    and self.bounded_diff(a + fx, rx - fx, b + fy, ry - fy, n, m, count)
                    and self.prefix_diff(a + rx, n - rx, b + ry, m - ry, self.cost_limit))
        x, y = (rx, ry) if n + m - rx - ry > fx + fy else (fx, fy)
        return (self.suffix_diff(a, x, b, y, 0, self.cost_limit)
                and self.prefix_diff(a + x, n - x, b + y, m - y, self.cost_limit))

    def bounded_diff(self, a, n, b, m, total_old, total_new, limit):
        if n * m < (total_old * total_new) // 2 + 16777216:
            self.note("bounded: search")
            return self.middlesnake(a, n, b, m, max(limit, 8))
        if limit > 0:
            self.note("bounded: halves")
            hn, hm = n // 2, m // 2
            return (self.suffix_diff(a, hn, b, hm, 0, limit >> 1)
                    and self.prefix_diff(a + hn, n - hn, b + hm, m - hm, limit >> 1))
        self.note("bounded: middle only")
        qn, qm, hn, hm = n // 4, m // 4, n // 2, m // 2
        return (self.cs.insert(b, qm) and self.cs.delete()
                and self.diff(a + qn, hn, b + qm, hm)
                and self.cs.insert(b + qm + hm, m - hm - qm) and self.cs.delete())


def iteration_limit(quality, cost_limit, n, m):
    if quality == 0:
        return cost_limit
    if quality in (1, 2):
        v = min(cost_limit, m, n)
        if quality == 1:
            return 64 if v <= 255 else v >> 2
        return 16 if v <= 255 else (v >> 2) >> 2
    if quality == 3:
        return 1
    return -1


def myers(old, new, script, storage_limit, cost_limit, quality, seen=None):
    """Returns (result code, edit script)."""
    cs = Coalescer(script)
    search = Search(old, new, cs, storage_limit, iteration_limit(quality, cost_limit, len(old), len(new)), seen)
    try:
        if quality == 4:
            ok = search.trim_only(0, len(old), 0, len(new))
        else:
            ok = search.diff(0, len(old), 0, len(new))
    except GaveUp:
        ok = False
    return (cs.close(len(old)) if ok else 1), script


def generate(old, new, storage_limit=INT32_MAX, cost_limit=10000, quality=0, seen=None):
    r, script = myers(old, new, EditScript(new), storage_limit, cost_limit, quality, seen)
    if r == 1:
        return replacement(new)
    result = bytes([0xF6]) if r == 2 else bytes(script.out)
    return result if len(result) < len(new) else replacement(new)
