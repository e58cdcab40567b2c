// A launcher's signature as --verify and --inspect report it, and signing a
// launcher file: what the signing modes and packing share.
#ifndef SFXPACK_LAUNCHER_SIGNATURE_H
#define SFXPACK_LAUNCHER_SIGNATURE_H

#include <stddef.h>

#include <string>
#include <vector>

#include "sign/ssh_key.h"
#include "sys/bytes.h"

// The keys of every --key file. Returns 0, or -1 with one line.
int read_key_files(const std::vector<std::string> &paths, std::vector<TrustedKey> &keys,
                   std::string &error);

struct SignatureVerdict {
    bool present = false;     // the launcher holds a signature
    bool failed = false;      // the check fails
    std::string fingerprint;  // the signer's, once the signature reads
    std::string text;         // what follows "signature: ", empty when unsigned and not asked
};

// Checks the signature of the launcher in data against keys; with keys
// null (no --key), against the key it names, which proves the bytes whole
// but not who signed them. A launcher without a signature fails only when
// keys are given.
SignatureVerdict check_launcher_signature(const unsigned char *data, size_t size,
                                          const std::vector<TrustedKey> *keys);

// What --inspect shows without --verify: the signer's fingerprint (also
// put in signer), from the section alone and unchecked, or empty when the
// launcher is unsigned.
std::string signature_summary(const unsigned char *data, size_t size, std::string &signer);

// Writes the section's bytes for blob over the last 512 of the file at
// path, which has size bytes. Returns 0, or -1 with a reason naming path.
int write_signature(const std::string &path, size_t size, const Bytes &blob,
                    std::string &error);

// Signs the file at path, a launcher just made, in place with key: what
// packing with --sign does before the launcher takes its name. Returns 0,
// or -1 with a reason naming path.
int sign_file(const std::string &path, const SshPrivateKey &key, std::string &error);

#endif
