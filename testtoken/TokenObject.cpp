#include "TokenObject.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <cstring>
#include <memory>

namespace p11bridge::testtoken {
namespace {

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};

Bytes Ulong(CK_ULONG value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes Bool(bool value) {
    return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)};
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes BigNumParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    std::unique_ptr<BIGNUM, BnFree> bn(raw);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

}  // namespace

TokenObject TokenObject::Certificate(CK_OBJECT_HANDLE handle, const CertSpec& definition) {
    TokenObject object;
    object.handle = handle;
    object.slot = definition.slot;
    object.attributes = {
        {CKA_CLASS, Ulong(CKO_CERTIFICATE)},
        {CKA_TOKEN, Bool(true)},
        {CKA_PRIVATE, Bool(false)},
        {CKA_MODIFIABLE, Bool(false)},
        {CKA_CERTIFICATE_TYPE, Ulong(CKC_X_509)},
        {CKA_ID, definition.id},
        {CKA_VALUE, definition.der},
        {CKA_LABEL, Text(definition.label)},
    };
    return object;
}

TokenObject TokenObject::RsaPrivateKey(CK_OBJECT_HANDLE handle, const KeySpec& definition) {
    TokenObject object;
    object.handle = handle;
    object.slot = definition.slot;
    object.isPrivate = true;
    object.key = definition.key;
    object.attributes = {
        {CKA_CLASS, Ulong(CKO_PRIVATE_KEY)},
        {CKA_TOKEN, Bool(true)},
        {CKA_PRIVATE, Bool(true)},
        {CKA_MODIFIABLE, Bool(false)},
        {CKA_KEY_TYPE, Ulong(CKK_RSA)},
        {CKA_ID, definition.id},
        {CKA_LABEL, Text(definition.label)},
        {CKA_SIGN, Bool(true)},
        {CKA_DECRYPT, Bool(false)},
        {CKA_SENSITIVE, Bool(true)},
        {CKA_EXTRACTABLE, Bool(false)},
        {CKA_MODULUS, BigNumParam(definition.key.get(), OSSL_PKEY_PARAM_RSA_N)},
        {CKA_PUBLIC_EXPONENT, BigNumParam(definition.key.get(), OSSL_PKEY_PARAM_RSA_E)},
    };
    object.sensitive = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                        CKA_EXPONENT_1,       CKA_EXPONENT_2, CKA_COEFFICIENT};
    return object;
}

bool TokenObject::Matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const {
    for (CK_ULONG i = 0; i < count; ++i) {
        auto found = attributes.find(templ[i].type);
        if (found == attributes.end()) return false;
        const Bytes& value = found->second;
        if (value.size() != templ[i].ulValueLen) return false;
        if (!value.empty() && std::memcmp(value.data(), templ[i].pValue, value.size()) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace p11bridge::testtoken
