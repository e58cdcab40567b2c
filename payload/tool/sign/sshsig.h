// OpenSSH's signatures of files (ssh-keygen -Y sign): the SSHSIG blob and
// its armor, made and checked for Ed25519 keys in the sfxlaunch namespace
// with SHA-512, so that ssh-keygen -Y verify checks what sfxpack signs and
// sfxpack embeds what ssh-keygen signs.
#ifndef SFXPACK_SSHSIG_H
#define SFXPACK_SSHSIG_H

#include <stddef.h>

#include <string>

#include <nettle/sha2.h>

#include "sign/ssh_key.h"
#include "sys/bytes.h"

extern const char sshsig_namespace[];  // "sfxlaunch"

// The SHA-512 of a message fed piece by piece: what SSHSIG signs in place
// of the message itself.
struct Sha512 {
    struct sha512_ctx ctx;
    Sha512() { sha512_init(&ctx); }
    void update(const void *data, size_t size)
    {
        sha512_update(&ctx, size, (const uint8_t *)data);
    }
    void finish(unsigned char out[SHA512_DIGEST_SIZE])
    {
        sha512_digest(&ctx, SHA512_DIGEST_SIZE, out);
    }
};

// A decoded SSHSIG blob: "SSHSIG", version 1, the signer's public key, the
// namespace, a reserved string, the hash's name and the signature.
struct SshSignature {
    Bytes public_blob;
    std::string name_space;
    std::string hash;
    std::string signature_type;
    Bytes signature;
};

// The blob signing message_sha512 (the SHA-512 of the message) with key.
Bytes sshsig_sign(const SshPrivateKey &key, const unsigned char message_sha512[SHA512_DIGEST_SIZE]);

// Parses a blob that may be hostile. Returns 0, or -1 with a reason.
int sshsig_decode(const Bytes &blob, SshSignature &signature, std::string &error);

// Whether signature is a good sfxlaunch signature, by the Ed25519 key it
// names, of the message whose SHA-512 is given. Returns 0, or -1 with a
// reason.
int sshsig_check(const SshSignature &signature,
                 const unsigned char message_sha512[SHA512_DIGEST_SIZE], std::string &error);

// The armored text, as ssh-keygen writes it: the BEGIN line, base64 in
// lines of 70, the END line, each ending in a newline.
std::string sshsig_armor(const Bytes &blob);

// The blob inside an armored text; what follows the END line is left
// alone. Returns 0, or -1 with a reason.
int sshsig_dearmor(const std::string &text, Bytes &blob, std::string &error);

#endif
