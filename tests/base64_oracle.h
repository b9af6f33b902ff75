// An encoder that is not ours: OpenSSL's, as one line with CR LF.
#ifndef B64FILTER_TESTS_BASE64_ORACLE_H
#define B64FILTER_TESTS_BASE64_ORACLE_H

#include <openssl/evp.h>

#include <string>

inline std::string OracleLine(const std::string &data)
{
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock((unsigned char *)&out[0], (const unsigned char *)data.data(), (int)data.size());
    out.resize(n);
    return out + "\r\n";
}

#endif
