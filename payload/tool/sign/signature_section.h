// The section `signature`: the file's last 512 bytes, never loaded, after
// the section headers, so that everything else in the launcher lies before
// it and is covered by what it holds. Unsigned, it holds zeros; signed, a
// header line, the armored SSH signature of every byte before it, then
// zeros. Signing therefore changes no other byte of the file.
#ifndef SFXPACK_SIGNATURE_SECTION_H
#define SFXPACK_SIGNATURE_SECTION_H

#include <stddef.h>

#include <string>

#include "sign/sshsig.h"
#include "sys/bytes.h"

enum { SIGNATURE_SECTION_SIZE = 512 };

extern const char signature_section_name[];  // "signature"
// The section's first line when it holds a signature: the format and its
// version.
extern const char signature_header_line[];  // "sfxlaunch-signature 1\n"

// The assembler lines that give a launcher the section, unsigned.
std::string signature_section_source();

// Moves the section of a launcher just linked to the end of the file, past
// the section headers, which the linker puts last: the bytes after it move
// up by its size, and the file keeps its size. Returns 0, or -1 with a
// reason naming path.
int put_signature_section_last(const std::string &path, std::string &error);

struct SignatureSection {
    bool present = false;    // the file has the section, where it belongs
    bool is_signed = false;  // it holds a signature, not zeros
    // There, but no longer last, as strip leaves it: the section headers
    // and what strip kept were written after it. is_signed then says
    // whether it holds anything but zeros.
    bool displaced = false;
    Bytes blob;              // the SSHSIG blob, when signed
};

// Finds the section in a launcher's bytes. Returns 0 (present is false for
// a launcher made before sfxpack signed them), or -1 with a reason when the
// section is not the file's last 512 bytes, not alone there, loaded, or
// holds neither zeros nor a signature as sfxpack writes it (the padding
// after the signature included).
int read_signature_section(const unsigned char *data, size_t size, SignatureSection &section,
                           std::string &error);

// The section's content alone (bytes, 512 of them): zeros, or a signature
// as signature_section_bytes writes it. Returns 0, or -1 with a reason.
int read_signature_content(const unsigned char *bytes, SignatureSection &section,
                           std::string &error);

// The section's 512 bytes holding blob. Returns 0, or -1 when it does not
// fit.
int signature_section_bytes(const Bytes &blob, Bytes &content, std::string &error);

// The SHA-512 of the signed bytes: every byte of the file before the
// section's content, its last 512.
void signed_bytes_sha512(const unsigned char *data, size_t size,
                         unsigned char out[SHA512_DIGEST_SIZE]);

#endif
