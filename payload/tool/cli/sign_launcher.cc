// Signing a launcher already made: --sign KEY LAUNCHER, and
// --embed-signature SIG LAUNCHER for a key that only ssh-keygen can use (an
// encrypted one, or one in an agent). Either writes a copy that differs
// only in the section signature (and, after strip, in where that section
// lies) and renames it over the launcher, so the launcher is signed whole
// or left as it was.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/commands.h"
#include "read/manifest_checks.h"
#include "cli/open_launcher.h"
#include "sign/launcher_signature.h"
#include "sign/signature_section.h"
#include "sign/sshsig.h"
#include "sys/write_file.h"
#include "sys/diagnostics.h"
#include "sys/fatal_signals.h"
#include "sys/mapped_file.h"

static int fail(const std::string &message)
{
    print_error(message);
    return EXIT_FAILED;
}

// A launcher worth signing: one with the section, whose manifest still
// vouches for its code and entries as sfxpack wrote them. The streams are
// not decoded here; --verify does that. A section that strip left behind
// the section headers is moved back when may_move.
static int check_signable(const std::string &path, const MappedFile &file,
                          const LauncherImage &image, bool may_move, bool &move,
                          std::string &error)
{
    SignatureSection section;
    move = false;
    if (read_signature_section(file.data, file.size, section, error) != 0) {
        if (!section.displaced || !may_move) {
            error = path + ": " + error +
                    (section.displaced ? " (as strip leaves it): sfxpack --sign moves it back"
                                       : "");
            return -1;
        }
        move = true;
        error.clear();
    } else if (!section.present) {
        error = path + ": no section signature: made by an sfxpack that did not sign; pack it "
                "again to sign it";
        return -1;
    }
    Manifest manifest;
    int status = launcher_manifest(image, manifest, error);
    std::string problem = manifest_problem(image, manifest, status, error, false);
    if (!problem.empty()) {
        error = path + ": not signed, the launcher is not as sfxpack made it: " + problem +
                " (sfxpack --verify tells more)";
        return -1;
    }
    return 0;
}

// A copy of the launcher under a hidden name beside it (beside the file a
// symbolic link names), signed there and then renamed over it with its
// mode; removed if it never gets that far.
struct SigningCopy {
    std::string real, temp;
    mode_t mode = 0;
    int slot = -1;

    int make(const std::string &path, const MappedFile &file, std::string &error)
    {
        struct stat st;
        char *resolved = realpath(path.c_str(), nullptr);
        real = resolved != nullptr ? resolved : "";
        free(resolved);
        if (real.empty() || stat(real.c_str(), &st) != 0) {
            error = path + ": " + strerror(errno);
            return -1;
        }
        mode = st.st_mode & 07777;
        size_t slash = real.rfind('/');
        std::string name = real.substr(0, slash + 1) + "." + real.substr(slash + 1) +
                           ".sfxpack-" + std::to_string(getpid());
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = name + ": " + strerror(errno);
            return -1;
        }
        temp = name;
        slot = remove_on_signal(temp.c_str(), false);
        bool ok = write_all(fd, file.data, file.size) == 0;
        int saved = errno;
        if (close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok)
            error = temp + ": " + strerror(saved);
        return ok ? 0 : -1;
    }

    int commit(const std::string &path, std::string &error)
    {
        if (chmod(temp.c_str(), mode) != 0) {
            error = temp + ": " + strerror(errno);
            return -1;
        }
        if (rename(temp.c_str(), real.c_str()) != 0) {
            error = path + ": " + strerror(errno);
            return -1;
        }
        forget_on_signal(slot);
        temp.clear();
        return 0;
    }

    ~SigningCopy()
    {
        if (temp.empty())
            return;
        unlink(temp.c_str());
        forget_on_signal(slot);
    }
};

static int report_signed(const std::string &path, const Bytes &public_blob)
{
    printf("%s: signed by %s\n", path.c_str(), key_fingerprint(public_blob).c_str());
    if (fflush(stdout) != 0)
        return fail("cannot write to standard output");
    return 0;
}

int sign_launcher(const std::string &path, const std::string &key_path)
{
    SshPrivateKey key;
    std::string error;
    if (read_private_key(key_path, key, error) != 0)
        return fail(error);
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;
    bool move;
    SigningCopy copy;
    if (check_signable(path, file, image, true, move, error) != 0 ||
        copy.make(path, file, error) != 0 ||
        (move && put_signature_section_last(copy.temp, error) != 0) ||
        sign_file(copy.temp, key, error) != 0 || copy.commit(path, error) != 0)
        return fail(error);
    return report_signed(path, key.public_blob);
}

int embed_signature(const std::string &path, const std::string &signature_path)
{
    Bytes text, blob;
    SshSignature signature;
    std::string error;
    if (read_whole_file(signature_path, text, error) != 0)
        return fail(error);
    if (sshsig_dearmor(std::string(text.begin(), text.end()), blob, error) != 0 ||
        sshsig_decode(blob, signature, error) != 0)
        return fail(signature_path + ": " + error);
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;
    bool move;
    if (check_signable(path, file, image, false, move, error) != 0)
        return fail(error);
    unsigned char digest[SHA512_DIGEST_SIZE];
    signed_bytes_sha512(file.data, file.size, digest);
    if (sshsig_check(signature, digest, error) != 0)
        return fail(signature_path + ": " + error + " (of " + path + ": all but its last " +
                    std::to_string(SIGNATURE_SECTION_SIZE) + " bytes)");
    SigningCopy copy;
    if (copy.make(path, file, error) != 0 ||
        write_signature(copy.temp, file.size, blob, error) != 0 || copy.commit(path, error) != 0)
        return fail(error);
    return report_signed(path, signature.public_blob);
}
