// The packer's commands, one file each in cli/: main parses the command line
// and hands off to one of them. Each returns sfxpack's exit status, after
// one line on standard error naming what went wrong.
#ifndef SFXPACK_COMMANDS_H
#define SFXPACK_COMMANDS_H

#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/pack_request.h"

// Packs options.files into options.output (or, with --dry-run, only says
// what it would pack).
int pack_launcher(PackOptions &options);

// The table, sizes and manifest; with decode, also every entry decoded and
// checked as --verify does, which gives the ELF entries' glibc needs.
// With decode, its signature is checked as --verify checks it.
int inspect_launcher(const std::string &path, bool json, bool decode, bool no_manifest_ok,
                     const std::vector<std::string> &keys);

// Every rule, every stream, the manifest and the signature; one line per
// entry, a verdict. Without no_manifest_ok, a launcher without a manifest
// fails; with key files, one not signed by one of their keys.
int verify_launcher(const std::string &path, bool no_manifest_ok,
                    const std::vector<std::string> &keys);

// Signs the launcher at path in place with the private key in key_path.
int sign_launcher(const std::string &path, const std::string &key_path);

// Checks the signature in signature_path against the launcher at path and
// puts it in place.
int embed_signature(const std::string &path, const std::string &signature_path);

// Removes the launcher's --unpack-once cache directories of the calling
// user that no run holds, one line each.
int forget_launcher(const std::string &path);

// Every entry into dir, which must not exist, as @unpack would write them.
int extract_launcher(const std::string &path, const std::string &dir);

#endif
