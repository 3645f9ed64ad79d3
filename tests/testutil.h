/* Helpers shared by the unit tests: hex text, vector data files, exact-size heap copies. */
#ifndef VEMRICK_TESTUTIL_H
#define VEMRICK_TESTUTIL_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<unsigned char>;

inline Bytes fromHex(const std::string &hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length: " + hex);
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const unsigned char *p, size_t n, bool upper = false)
{
    static const char *lo = "0123456789abcdef", *hi = "0123456789ABCDEF";
    const char *digits = upper ? hi : lo;
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline Bytes toBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

/* Reads tests/vectors/<name>: one case a line, fields separated by blanks; lines that are empty or
 * start with '#' (the source line among them) are skipped. A field "-" stands for the empty
 * string. */
inline std::vector<std::vector<std::string>> readVectors(const std::string &name)
{
    std::ifstream in(std::string(VEMRICK_TEST_VECTORS) + "/" + name);
    if (!in)
        throw std::runtime_error("cannot open vector file " + name);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::vector<std::string> row;
        std::string f;
        while (fields >> f)
            row.push_back(f == "-" ? std::string() : f);
        rows.push_back(row);
    }
    return rows;
}

/* A heap buffer of exactly n bytes holding a copy of data, so that AddressSanitizer reports any
 * read past its end. */
struct ExactBuffer {
    std::unique_ptr<unsigned char[]> p;
    size_t n;
    ExactBuffer(const void *data, size_t len) : p(new unsigned char[len ? len : 1]), n(len)
    {
        if (len)
            memcpy(p.get(), data, len);
    }
    explicit ExactBuffer(const Bytes &b) : ExactBuffer(b.data(), b.size()) {}
    unsigned char *get() { return p.get(); }
    char *chars() { return reinterpret_cast<char *>(p.get()); }
};

} // namespace testutil

#endif
