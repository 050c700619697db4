#include "pkcs11/CertificateDecoding.h"

#include <certt.h>
#include <pk11pub.h>
#include <secasn1.h>
#include <secerr.h>

#include "pkcs11/NssOwners.h"

namespace p11bridge::certificate_decoding {
namespace {

constexpr unsigned int kSha1Length = 20;
constexpr unsigned int kAllUsages = 0xFF;

// Copies a name text that NSS allocated into the arena; absent when NSS cannot render the name.
char* NameText(PLArenaPool* arena, CERTName* name) {
    PortText text(CERT_NameToAscii(name));
    if (!text) return nullptr;
    return PORT_ArenaStrdup(arena, text.get());
}

bool SetKeyIdentifier(PLArenaPool* arena, CERTCertificate* cert) {
    ItemData extension;
    if (CERT_FindSubjectKeyIDExtension(cert, extension.get()) == SECSuccess) {
        return SECITEM_CopyItem(arena, &cert->subjectKeyID, extension.get()) == SECSuccess;
    }
    auto* hash = static_cast<unsigned char*>(PORT_ArenaAlloc(arena, kSha1Length));
    if (!hash) return false;
    if (PK11_HashBuf(SEC_OID_SHA1, hash, cert->derPublicKey.data,
                     static_cast<PRInt32>(cert->derPublicKey.len)) != SECSuccess) {
        return false;
    }
    cert->subjectKeyID.type = siBuffer;
    cert->subjectKeyID.data = hash;
    cert->subjectKeyID.len = kSha1Length;
    cert->keyIDGenerated = PR_TRUE;
    return true;
}

void SetKeyUsage(CERTCertificate* cert) {
    ItemData extension;
    if (CERT_FindKeyUsageExtension(cert, extension.get()) == SECSuccess) {
        // The length comes back in bits; any bit at all means the first byte is there.
        unsigned int usage = (*extension).len > 0 && (*extension).data ? (*extension).data[0] : 0;
        cert->keyUsage = usage;
        cert->rawKeyUsage = usage;
        cert->keyUsagePresent = PR_TRUE;
    } else {
        cert->keyUsage = kAllUsages;
        cert->rawKeyUsage = kAllUsages;
        cert->keyUsagePresent = PR_FALSE;
    }
}

}  // namespace

CERTCertificate* CERT_DecodeDERCertificate(SECItem* derSignedCert, PRBool copyDER,
                                           const char* nickname) {
    if (!derSignedCert || !derSignedCert->data) {
        PORT_SetError(SEC_ERROR_INVALID_ARGS);
        return nullptr;
    }
    Arena arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    if (!arena) return nullptr;
    auto* cert = PORT_ArenaZNew(arena.get(), CERTCertificate);
    if (!cert) return nullptr;
    cert->arena = arena.get();

    if (copyDER) {
        if (SECITEM_CopyItem(arena.get(), &cert->derCert, derSignedCert) != SECSuccess) {
            return nullptr;
        }
    } else {
        cert->derCert = *derSignedCert;
    }
    // The signed-certificate template fills everything but derCert, which it decodes from.
    if (SEC_QuickDERDecodeItem(arena.get(), cert, SEC_ASN1_GET(SEC_SignedCertificateTemplate),
                               &cert->derCert) != SECSuccess) {
        return nullptr;
    }
    if (nickname) {
        cert->nickname = PORT_ArenaStrdup(arena.get(), nickname);
        if (!cert->nickname) return nullptr;
    }
    if (!SetKeyIdentifier(arena.get(), cert)) return nullptr;
    SetKeyUsage(cert);
    cert->subjectName = NameText(arena.get(), &cert->subject);
    cert->issuerName = NameText(arena.get(), &cert->issuer);

    // Without an NSS certificate object or a database, CERT_DestroyCertificate frees the arena,
    // and with it the whole record.
    cert->referenceCount = 1;
    cert->nssCertificate = nullptr;
    cert->dbhandle = nullptr;
    arena.release();
    return cert;
}

}  // namespace p11bridge::certificate_decoding
