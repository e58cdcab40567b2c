#include "sign/launcher_signature.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "sign/signature_section.h"
#include "sign/sshsig.h"
#include "read/launcher_reader.h"
#include "sys/mapped_file.h"
#include "sys/write_file.h"

int read_key_files(const std::vector<std::string> &paths, std::vector<TrustedKey> &keys,
                   std::string &error)
{
    for (const std::string &path : paths)
        if (read_trusted_keys(path, keys, error) != 0)
            return -1;
    return 0;
}

// Who a trusted key is, as its line names it.
static std::string key_owner(const TrustedKey &key)
{
    std::string who = !key.principals.empty() ? key.principals : key.comment;
    return (who.empty() ? "" : who + ", ") + key.origin;
}

static SignatureVerdict failed(const std::string &text)
{
    SignatureVerdict verdict;
    verdict.failed = true;
    verdict.text = "FAILED: " + text;
    return verdict;
}

SignatureVerdict check_launcher_signature(const unsigned char *data, size_t size,
                                          const std::vector<TrustedKey> *keys)
{
    SignatureSection section;
    std::string error;
    if (read_signature_section(data, size, section, error) != 0) {
        // Moved by strip, unsigned: nothing to say unless a signature is
        // asked for.
        if (section.displaced && !section.is_signed && keys == nullptr)
            return SignatureVerdict();
        // A changed byte in the headers can leave the section out of place;
        // that the signature no longer matches says it better.
        SignatureSection last;
        SshSignature signature;
        std::string why;
        if (size >= SIGNATURE_SECTION_SIZE &&
            read_signature_content(data + size - SIGNATURE_SECTION_SIZE, last, why) == 0 &&
            last.is_signed && sshsig_decode(last.blob, signature, why) == 0) {
            unsigned char digest[SHA512_DIGEST_SIZE];
            signed_bytes_sha512(data, size, digest);
            if (sshsig_check(signature, digest, why) != 0)
                return failed("by " + key_fingerprint(signature.public_blob) + ": " + why);
        }
        return failed(error);
    }
    if (!section.is_signed) {
        if (keys != nullptr)
            return failed(section.present ? "not signed, and --key asks for a signature"
                                          : "no section signature (made by an sfxpack that "
                                            "did not sign), and --key asks for a signature");
        // Unsigned and not asked about: nothing to say.
        return SignatureVerdict();
    }
    SshSignature signature;
    if (sshsig_decode(section.blob, signature, error) != 0)
        return failed(error);
    std::string fingerprint = key_fingerprint(signature.public_blob);
    unsigned char digest[SHA512_DIGEST_SIZE];
    signed_bytes_sha512(data, size, digest);
    if (sshsig_check(signature, digest, error) != 0)
        return failed("by " + fingerprint + ": " + error);

    SignatureVerdict verdict;
    verdict.present = true;
    verdict.fingerprint = fingerprint;
    if (keys == nullptr) {
        verdict.text = "present but unauthenticated: by " + fingerprint +
                       ", which no --key names";
        return verdict;
    }
    const TrustedKey *refused = nullptr;
    for (const TrustedKey &key : *keys) {
        if (key.public_blob != signature.public_blob)
            continue;
        if (!key.refused.empty()) {
            refused = &key;
            continue;
        }
        verdict.text = "ok, signed by " + fingerprint + " (" + key_owner(key) + ")";
        return verdict;
    }
    if (refused != nullptr)
        verdict = failed("signed by " + fingerprint + ", but " + refused->refused);
    else
        verdict = failed("signed by " + fingerprint + ", which no --key names");
    verdict.present = true;
    verdict.fingerprint = fingerprint;
    return verdict;
}

std::string signature_summary(const unsigned char *data, size_t size, std::string &signer)
{
    SignatureSection section;
    SshSignature signature;
    std::string error;
    if (read_signature_section(data, size, section, error) != 0 ||
        (section.is_signed && sshsig_decode(section.blob, signature, error) != 0))
        return "unreadable: " + error;
    if (!section.is_signed)
        return "";
    signer = key_fingerprint(signature.public_blob);
    return "by " + signer + ", not checked (sfxpack --verify --key PUBKEY checks it)";
}

int write_signature(const std::string &path, size_t size, const Bytes &blob,
                    std::string &error)
{
    Bytes content;
    if (signature_section_bytes(blob, content, error) != 0) {
        error = path + ": " + error;
        return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 ||
        write_at(fd, content.data(), content.size(), size - SIGNATURE_SECTION_SIZE) != 0) {
        error = path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int sign_file(const std::string &path, const SshPrivateKey &key, std::string &error)
{
    MappedFile file;
    if (file.open(path, error) != 0)
        return -1;
    unsigned char digest[SHA512_DIGEST_SIZE];
    signed_bytes_sha512(file.data, file.size, digest);
    return write_signature(path, file.size, sshsig_sign(key, digest), error);
}
