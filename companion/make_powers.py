#!/usr/bin/env python3
"""Writes shortestpowers.inc, the powers of ten the shortest-text writer
(text.cpp) multiplies by: for each k it uses, 10^-k scaled by a power of two
into [2^127, 2^128), rounded down and plus one, as two 64-bit halves. It
also checks the shifts and multipliers text.cpp uses for the logarithms,
exactly, over every exponent a double has.

    python3 companion/make_powers.py > companion/shortestpowers.inc
"""
from fractions import Fraction

K_MIN, K_MAX = -324, 293  # the k of 4.9e-324, and one past that of 1.8e308


def floor_log10_pow2(q, factor=Fraction(1)):
    """The largest k with 10^k <= factor * 2^q."""
    value = factor * Fraction(2) ** q
    k = 0
    while Fraction(10) ** k > value:
        k -= 1
    while Fraction(10) ** (k + 1) <= value:
        k += 1
    return k


def floor_log2_pow10(e):
    """The largest b with 2^b <= 10^e."""
    value = Fraction(10) ** e
    b = value.numerator.bit_length() - value.denominator.bit_length()
    while Fraction(2) ** b > value:
        b -= 1
    while Fraction(2) ** (b + 1) <= value:
        b += 1
    return b


# The integer forms text.cpp computes, checked against the exact ones.
for q in range(-1080, 1000):
    assert (q * 315653) >> 20 == floor_log10_pow2(q), q
    assert (q * 315653 - 131237) >> 20 == floor_log10_pow2(q, Fraction(3, 4)), q
for e in range(-330, 330):
    assert (e * 1741647) >> 19 == floor_log2_pow10(e), e
for q in range(-1074, 972):
    for k in (floor_log10_pow2(q), floor_log10_pow2(q, Fraction(3, 4))):
        assert K_MIN <= k <= K_MAX, q
        assert 1 <= q + floor_log2_pow10(-k) + 1 <= 4, q
# The one-product form's shift by the power of k + 1, for normal doubles.
for q in range(-1074, 972):
    k = floor_log10_pow2(q)
    assert 1 <= 5 + q + floor_log2_pow10(-(k + 1)) <= 4, q

print("// Made by make_powers.py; do not edit.")
print("// 10^-k times 2^(127 - floor(log2 10^-k)), rounded down, plus one:")
print("// {high 64 bits, low 64 bits}, for k from %d to %d." % (K_MIN, K_MAX))
for k in range(K_MIN, K_MAX + 1):
    beta = 127 - floor_log2_pow10(-k)
    scaled = Fraction(10) ** (-k) * Fraction(2) ** beta
    g = scaled.numerator // scaled.denominator + 1
    assert 2 ** 127 < g < 2 ** 128
    print("{0x%016x, 0x%016x}," % (g >> 64, g & (2 ** 64 - 1)))
