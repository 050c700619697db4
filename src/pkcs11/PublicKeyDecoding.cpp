#include "pkcs11/PublicKeyDecoding.h"

#include <keyhi.h>
#include <secasn1.h>
#include <secerr.h>

namespace p11bridge {

void miprepare_rsa_pub_key_for_asn1(SECKEYPublicKey* pubk) {
    pubk->u.rsa.modulus.type = siUnsignedInteger;
    pubk->u.rsa.publicExponent.type = siUnsignedInteger;
}

PublicKey miSECKEY_DecodeDERPublicKey(const SECItem* der) {
    Arena arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    if (!arena) {
        PORT_SetError(SEC_ERROR_NO_MEMORY);
        return nullptr;
    }
    auto* pubk = PORT_ArenaZNew(arena.get(), SECKEYPublicKey);
    if (!pubk) {
        PORT_SetError(SEC_ERROR_NO_MEMORY);
        return nullptr;
    }
    pubk->arena = arena.get();
    pubk->pkcs11Slot = nullptr;
    pubk->pkcs11ID = CK_INVALID_HANDLE;
    miprepare_rsa_pub_key_for_asn1(pubk);

    SECItem copy{siBuffer, nullptr, 0};
    if (SECITEM_CopyItem(arena.get(), &copy, der) != SECSuccess) return nullptr;
    // The template's offsets are relative to the whole key record, not to its u.rsa member:
    // decoding into u.rsa leaves the modulus empty and every signature "bad".
    if (SEC_QuickDERDecodeItem(arena.get(), pubk, SEC_ASN1_GET(SECKEY_RSAPublicKeyTemplate),
                               &copy) != SECSuccess) {
        return nullptr;
    }
    // From here SECKEY_DestroyPublicKey frees the arena, and the record with it.
    arena.release();
    return PublicKey(pubk);
}

}  // namespace p11bridge
