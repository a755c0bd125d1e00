// The text repr() gives a double, built from std::to_chars' shortest round trip by repr's own
// rule: the oracle the float formatter is held to (tests/kernels, fuzz/float_repr_fuzzer.cpp).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

// Positional when the shortest digits' decimal exponent is from -4 to 15, else d.ddde+XX.
inline std::string expected_repr(double x) {
    if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
    char text[64];
    char *end = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr;
    std::string scientific(text, end), sign;
    if (scientific[0] == '-') {
        sign = "-";
        scientific.erase(0, 1);
    }
    size_t e = scientific.find('e');
    std::string digits = scientific.substr(0, e);
    if (digits.size() > 1) digits.erase(1, 1); // the point
    int exponent = std::stoi(scientific.substr(e + 1));
    if (exponent < -4 || exponent > 15) {
        std::string mantissa = digits.substr(0, 1);
        if (digits.size() > 1) mantissa += "." + digits.substr(1);
        char exponent_text[16];
        std::snprintf(exponent_text, sizeof exponent_text, "e%c%02d", exponent < 0 ? '-' : '+',
                      exponent < 0 ? -exponent : exponent);
        return sign + mantissa + exponent_text;
    }
    if (exponent < 0)
        return sign + "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    auto point = static_cast<size_t>(exponent + 1);
    if (digits.size() <= point)
        return sign + digits + std::string(point - digits.size(), '0') + ".0";
    return sign + digits.substr(0, point) + "." + digits.substr(point);
}
