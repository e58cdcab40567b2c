// The Ed25519 keys people already have, in OpenSSH's own files: a private
// key as ssh-keygen -t ed25519 -N '' writes it, and public keys as in
// id_ed25519.pub, authorized_keys or an allowed_signers file.
#ifndef SFXPACK_SSH_KEY_H
#define SFXPACK_SSH_KEY_H

#include <string>
#include <vector>

#include <nettle/eddsa.h>

#include "sys/bytes.h"

extern const char ed25519_key_type[];  // "ssh-ed25519"

// An unencrypted private key.
struct SshPrivateKey {
    unsigned char seed[ED25519_KEY_SIZE];
    unsigned char public_key[ED25519_KEY_SIZE];
    Bytes public_blob;  // string "ssh-ed25519", string public_key
    std::string comment;
};

// Reads an "openssh-key-v1" file holding one Ed25519 key. Returns 0, or -1
// with one line naming path: an encrypted key, a public key or another key
// type is refused with what to do instead.
int read_private_key(const std::string &path, SshPrivateKey &key, std::string &error);

// A public key that a key file names, with what its line says of it.
struct TrustedKey {
    unsigned char public_key[ED25519_KEY_SIZE];
    Bytes public_blob;
    std::string origin;      // "FILE:LINE"
    std::string principals;  // an allowed_signers line's first field, or empty
    std::string comment;
    // Why the line's options rule this key out for sfxlaunch signatures
    // (namespaces=, valid-after=, valid-before=), or empty.
    std::string refused;
};

// Adds the Ed25519 keys of a key file: one public key per line, each with
// the options and the principals that authorized_keys and allowed_signers
// put before it. Lines of other key types are passed over; a cert-authority
// line is refused with one warning. Returns 0, or -1 with one line naming
// the file (and the line) when it cannot be read, a line is not a key, or
// no Ed25519 key is left.
int read_trusted_keys(const std::string &path, std::vector<TrustedKey> &keys,
                      std::string &error);

// A key's fingerprint as ssh-keygen -l prints it: "SHA256:" and the base64
// of the SHA-256 of its blob, without padding.
std::string key_fingerprint(const Bytes &public_blob);

// The blob of an Ed25519 public key.
Bytes ed25519_blob(const unsigned char public_key[ED25519_KEY_SIZE]);

// Reads a public key blob. Returns 0 with the Ed25519 key, or -1 with a
// reason (another key type is named).
int ed25519_from_blob(const Bytes &blob, unsigned char public_key[ED25519_KEY_SIZE],
                      std::string &error);

#endif
