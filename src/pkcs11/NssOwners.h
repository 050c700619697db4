// Owners of NSS and NSPR resources: each releases its resource on every path by construction.
#pragma once

#include <cert.h>
#include <keyhi.h>
#include <plarena.h>
#include <secdig.h>
#include <secitem.h>
#include <secport.h>

#include <memory>

namespace p11bridge {

struct ArenaFree {
    void operator()(PLArenaPool* a) const { PORT_FreeArena(a, PR_FALSE); }
};
using Arena = std::unique_ptr<PLArenaPool, ArenaFree>;

struct ItemFree {
    void operator()(SECItem* i) const { SECITEM_FreeItem(i, PR_TRUE); }
};
using Item = std::unique_ptr<SECItem, ItemFree>;

struct PublicKeyFree {
    void operator()(SECKEYPublicKey* k) const { SECKEY_DestroyPublicKey(k); }
};
using PublicKey = std::unique_ptr<SECKEYPublicKey, PublicKeyFree>;

struct CertificateFree {
    void operator()(CERTCertificate* c) const { CERT_DestroyCertificate(c); }
};
using Certificate = std::unique_ptr<CERTCertificate, CertificateFree>;

struct DigestInfoFree {
    void operator()(SGNDigestInfo* d) const { SGN_DestroyDigestInfo(d); }
};
using DigestInfo = std::unique_ptr<SGNDigestInfo, DigestInfoFree>;

// Texts and buffers that NSS allocated with PORT_Alloc (Base64 output, CERT_NameToAscii).
struct PortFree {
    void operator()(void* p) const { PORT_Free(p); }
};
using PortText = std::unique_ptr<char, PortFree>;

// The data of a SECItem that lives on the stack but whose bytes NSS allocated.
class ItemData {
public:
    ItemData() : item_{siBuffer, nullptr, 0} {}
    ~ItemData() { SECITEM_FreeItem(&item_, PR_FALSE); }
    ItemData(const ItemData&) = delete;
    ItemData& operator=(const ItemData&) = delete;
    SECItem* get() { return &item_; }
    const SECItem& operator*() const { return item_; }

private:
    SECItem item_;
};

}  // namespace p11bridge
