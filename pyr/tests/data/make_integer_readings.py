#!/usr/bin/python3
"""Writes integer_readings.txt: IS texts in the shapes writers make, and how two independent
readers take each, one line per text:
    <pydicom>\t<exact>\t<text>
pydicom is pydicom 2.3's IS (an int, a float without loss, else no value); exact is Python's
decimal reading of the text, blanks aside, when it is finite and an integer. Each is the
integer in decimal, or - for no value. They part only where pydicom's float hides a fraction
or an underflow. Long runs are written out in full.
    pyr/tests/data/make_integer_readings.py   (Debian's python3-pydicom)"""
import decimal
import os
import sys
import warnings

from pydicom.valuerep import IS

Z = '0' * 5000
TEXTS = [
    # Plain, signed, blanks around, leading zeros.
    '3', '+3', '-3', '-0', '+0', ' 3 ', '\t3\r', '0003', '0' * 60 + '3', '-' + '0' * 60 + '7',
    # Decimals with no fraction, exponents.
    '3.0', '3.', '+3.', '-3.000', '0003.000', '3e0', '3E+0', '30e-1', '0.3e1', '.3e1', '300e-2',
    '3' + Z + 'e-5000', '3.' + Z, '0.' + Z + '3e5001', '-0.0', '0e99999999999', '0.000e-400', '+.0',
    '3e0000000000000000000000000000', '1e9', '2147483647.0', '21474836470e-1', '-2147483648.0',
    '4294967295.000', '4294967296e0', '9223372036854775807.0', '-9223372036854775808e0',
    '9223372036854775808.0', '92233720368547758070e-1', '1' + Z, '1' + Z + 'e-5000', '1e19', '1e18',
    # Fractions, however far out.
    '7.5', '-7.5', '0.5', '5e-1', '3.1', '2147483647.5', '3.' + Z + '1', '1' + Z + '1e-5000',
    '3.0000000000000001', '4503599627370497.5', '1e-400', '3e-99999999999999999999', '1' + Z + 'e-5001',
    # No number, or more than one.
    '', '   ', '.', '+', '-', '+-1', '--1', 'e5', '.e1', '3e', '3e+', '3.0e', '3abc', '3.0x', '0x10',
    '1 2', '3. 0', '3 .0', 'inf', '-inf', 'nan', 'Infinity', '1e400', '1' + Z + '.5', '3,0',
]


def pydicom_reading(text):
    with warnings.catch_warnings():
        warnings.simplefilter('ignore')
        try:
            value = IS(text)
        except (TypeError, ValueError, OverflowError):
            return '-'
    return '-' if value is None or isinstance(value, str) else str(int(value))


def exact_reading(text):
    try:
        value = decimal.Decimal(text.strip(' \t\n\v\f\r'))
    except decimal.InvalidOperation:
        return '-'
    if not value.is_finite() or value != value.to_integral_value():
        return '-'
    return str(int(value))


sys.set_int_max_str_digits(0)
decimal.getcontext().prec = 20000
decimal.getcontext().Emax = decimal.MAX_EMAX
decimal.getcontext().Emin = decimal.MIN_EMIN
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, 'integer_readings.txt'), 'w', newline='\n') as f:
    for text in TEXTS:
        assert '\n' not in text
        f.write('%s\t%s\t%s\n' % (pydicom_reading(text), exact_reading(text), text))
