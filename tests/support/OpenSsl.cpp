#include "support/OpenSsl.h"

#include <openssl/err.h>

namespace p11bridge::test {

std::string OpenSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

}  // namespace p11bridge::test
