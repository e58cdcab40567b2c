#include "sign/sshsig.h"

#include <string.h>

#include "sign/ssh_wire.h"

const char sshsig_namespace[] = "sfxlaunch";

static const char magic[] = "SSHSIG";  // without its NUL
static const char hash_name[] = "sha512";
static const char armor_begin[] = "-----BEGIN SSH SIGNATURE-----\n";
static const char armor_end[] = "-----END SSH SIGNATURE-----\n";
enum { SSHSIG_VERSION = 1, ARMOR_LINE = 70 };

// What the key signs: the magic, then the namespace, the reserved string,
// the hash's name and the message's hash, each as a string.
static Bytes signed_data(const std::string &name_space,
                         const unsigned char message_sha512[SHA512_DIGEST_SIZE])
{
    Bytes data(magic, magic + sizeof magic - 1);
    put_string(data, name_space);
    put_string(data, "", 0);
    put_string(data, hash_name);
    put_string(data, message_sha512, SHA512_DIGEST_SIZE);
    return data;
}

Bytes sshsig_sign(const SshPrivateKey &key, const unsigned char message_sha512[SHA512_DIGEST_SIZE])
{
    Bytes data = signed_data(sshsig_namespace, message_sha512);
    unsigned char raw[ED25519_SIGNATURE_SIZE];
    ed25519_sha512_sign(key.public_key, key.seed, data.size(), data.data(), raw);
    Bytes signature;
    put_string(signature, ed25519_key_type);
    put_string(signature, raw, sizeof raw);

    Bytes blob(magic, magic + sizeof magic - 1);
    put_u32(blob, SSHSIG_VERSION);
    put_string(blob, key.public_blob);
    put_string(blob, sshsig_namespace);
    put_string(blob, "", 0);
    put_string(blob, hash_name);
    put_string(blob, signature);
    return blob;
}

int sshsig_decode(const Bytes &blob, SshSignature &signature, std::string &error)
{
    if (blob.size() < sizeof magic - 1 || memcmp(blob.data(), magic, sizeof magic - 1) != 0) {
        error = "not an SSH signature (no SSHSIG magic)";
        return -1;
    }
    WireReader in(blob.data() + sizeof magic - 1, blob.size() - (sizeof magic - 1));
    uint32_t version;
    Bytes reserved, inner;
    if (in.u32(version) != 0 || in.string(signature.public_blob) != 0 ||
        in.string(signature.name_space) != 0 || in.string(reserved) != 0 ||
        in.string(signature.hash) != 0 || in.string(inner) != 0) {
        error = "the SSH signature is cut short";
        return -1;
    }
    if (version != SSHSIG_VERSION) {
        error = "an SSH signature of version " + std::to_string(version) + ", not 1";
        return -1;
    }
    if (in.left != 0) {
        error = "the SSH signature has bytes after its end";
        return -1;
    }
    WireReader sig(inner);
    if (sig.string(signature.signature_type) != 0 || sig.string(signature.signature) != 0 ||
        sig.left != 0) {
        error = "the SSH signature's own signature is malformed";
        return -1;
    }
    return 0;
}

int sshsig_check(const SshSignature &signature,
                 const unsigned char message_sha512[SHA512_DIGEST_SIZE], std::string &error)
{
    unsigned char public_key[ED25519_KEY_SIZE];
    if (ed25519_from_blob(signature.public_blob, public_key, error) != 0)
        return -1;
    if (signature.name_space != sshsig_namespace) {
        error = "made for the namespace \"" + signature.name_space + "\", not \"" +
                sshsig_namespace + "\" (ssh-keygen -Y sign -n " + sshsig_namespace + ")";
        return -1;
    }
    if (signature.hash != hash_name) {
        error = "made with the hash " + signature.hash + ", not " + hash_name;
        return -1;
    }
    if (signature.signature_type != ed25519_key_type ||
        signature.signature.size() != ED25519_SIGNATURE_SIZE) {
        error = "not an Ed25519 signature";
        return -1;
    }
    Bytes data = signed_data(signature.name_space, message_sha512);
    if (!ed25519_sha512_verify(public_key, data.size(), data.data(),
                               signature.signature.data())) {
        error = "does not match the signed bytes";
        return -1;
    }
    return 0;
}

std::string sshsig_armor(const Bytes &blob)
{
    std::string text = base64_text(blob.data(), blob.size());
    std::string armored = armor_begin;
    for (size_t at = 0; at < text.size(); at += ARMOR_LINE)
        armored += text.substr(at, ARMOR_LINE) + "\n";
    return armored + armor_end;
}

int sshsig_dearmor(const std::string &text, Bytes &blob, std::string &error)
{
    size_t begin = text.find(armor_begin);
    // The END line may be the file's last, without its newline.
    size_t end = begin == std::string::npos
                     ? begin
                     : text.find(std::string(armor_end, sizeof armor_end - 2), begin);
    if (begin == std::string::npos || end == std::string::npos) {
        error = "no armored SSH signature (-----BEGIN SSH SIGNATURE----- ... "
                "-----END SSH SIGNATURE-----)";
        return -1;
    }
    std::string body;
    for (size_t i = begin + sizeof armor_begin - 1; i < end; i++)
        if (text[i] != '\n' && text[i] != '\r')
            body += text[i];
    if (base64_bytes(body, blob) != 0) {
        error = "the armored SSH signature is not base64";
        return -1;
    }
    return 0;
}
