#include "pack/link_launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "sys/fatal_signals.h"
#include "read/launcher_reader.h"
#include "format/manifest.h"
#include "payload.h"
#include "pack/cache_id.h"
#include "pack/payload_source.h"
#include "pack/runtime_location.h"
#include "sign/signature_section.h"
#include "sfx_version.h"
#include "sys/command_output.h"
#include "sys/mapped_file.h"
#include "sys/write_file.h"

static std::string compiler_driver()
{
    const char *cc = getenv("SFXPACK_CC");
    return cc && *cc ? cc : "cc";
}

int static_start_file(const TargetInfo &target, std::string &path, std::string &error)
{
    std::string cc = compiler_driver();
    std::vector<std::string> ask = {cc, target.machine_flag, "-print-file-name=crt1.o"};
    std::string output, why;
    int status = capture_command(ask, output, why);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    // A driver that knows no such file prints the bare name back.
    if (status == 0 && !output.empty() && output[0] == '/' &&
        access(output.c_str(), R_OK) == 0) {
        path = output;
        return 0;
    }
    error = std::string("the ") + target.name + " C library's start file crt1.o is missing (" +
            cc + " " + target.machine_flag + " -print-file-name=crt1.o: " +
            (status < 0 ? why : status != 0 ? "exit status " + std::to_string(status) : output) +
            ")";
    return -1;
}

static std::string absolute_path(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == NULL)
        return path;
    return std::string(cwd) + "/" + path;
}

static Manifest launcher_manifest(const std::vector<PackedEntry> &entries,
                                  const PayloadRecords &records,
                                  const unsigned char code_sha256[SHA256_SIZE],
                                  const UnpackOnce &once)
{
    Manifest manifest;
    manifest.version = SFX_VERSION;
    memcpy(manifest.code_sha256, code_sha256, SHA256_SIZE);
    manifest.tree = records.tree;
    manifest.environment = records.environment;
    for (const PackedEntry &e : entries) {
        ManifestEntry m;
        m.name = e.name;
        m.size = e.unpacked.size;
        memcpy(m.sha256, e.unpacked.sha256, SHA256_SIZE);
        sha256(e.stream->data(), e.stream->size(), m.stored_sha256);
        m.glibc = e.unpacked.glibc;
        m.kind = e.kind;
        m.mode = e.mode;
        m.link = e.link;
        m.target = e.target;
        manifest.entries.push_back(m);
    }
    if (once.wanted)
        unpack_once_id(manifest, *once.target, *once.loader, manifest.unpack_once_id);
    return manifest;
}

// Assembles and links inside dir, whose file names are fixed, so that no
// temporary path can reach the launcher and the output stays reproducible.
static int build_in(const TempDir &dir, const std::vector<PackedEntry> &entries,
                    const PayloadRecords &records, const TargetInfo &target, bool static_runtime,
                    const LoaderPathsSource &loader, const UnpackOnce &once,
                    const std::string &linked, std::string &error)
{
    std::string runtime = runtime_archive(target, static_runtime, error);
    if (runtime.empty())
        return -1;
    std::vector<std::string> runtime_flags;
    if (runtime_link_flags(runtime, runtime_flags, error))
        return -1;

    std::vector<BlockEntry> blocks;
    std::map<const Bytes *, size_t> written;
    std::string streams_path = dir.path + "/" + streams_file;
    int streams_fd = open(streams_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (streams_fd < 0) {
        error = streams_path + ": " + strerror(errno);
        return -1;
    }
    uint64_t streams_size = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        const PackedEntry &e = entries[i];
        BlockEntry block;
        block.name = e.name;
        block.size = (uint32_t)e.stream->size();
        block.stream_of = i;
        block.kind = e.kind;
        block.mode = e.mode;
        block.link = e.link;
        block.target = e.target;
        if (e.kind == TREE_FILE) {
            auto first = written.emplace(e.stream, i);
            block.stream_of = first.first->second;
            if (first.second) {
                block.stream_at = streams_size;
                streams_size += e.stream->size();
                if (write_all(streams_fd, e.stream->data(), e.stream->size()) != 0)
                    break;
            }
        }
        blocks.push_back(block);
    }
    if (blocks.size() != entries.size() || close(streams_fd) != 0) {
        error = streams_path + ": " + strerror(errno);
        if (blocks.size() != entries.size())
            close(streams_fd);
        return -1;
    }
    // The code's digest is known only once it is linked: a placeholder of
    // the same size until record_code_digest writes it.
    const unsigned char unknown[SHA256_SIZE] = {};
    Manifest placeholder = launcher_manifest(entries, records, unknown, once);
    std::string manifest = encode_manifest(placeholder);
    if (write_file(dir.path + "/" + manifest_file, manifest.data(), manifest.size(), error))
        return -1;
    std::string source = payload_source(blocks, records, target, loader);
    if (once.wanted)
        source += cache_id_source(placeholder.unpack_once_id);
    if (write_file(dir.path + "/payload.s", source.data(), source.size(), error))
        return -1;

    std::string cc = compiler_driver();
    std::string machine = target.machine_flag;
    std::string why;
    if (run_command({cc, machine, "-c", "payload.s", "-o", "payload.o"}, dir.path, why)) {
        error = "assembling the payload with " + cc + " failed (" + why + ")";
        return -1;
    }
    // Non-PIE: the table holds absolute pointers in read-only data, which a
    // PIE would have to relocate at load time (text relocations).
    // -nostartfiles: the dynamic runtime has its own _start, which calls the
    // oldest __libc_start_main (launcher/compat/start_x86_64.S), where the C
    // library's crt1.o would call the newest and so need the glibc that
    // links. The static runtime takes the C library's start files, which
    // belong to the libc.a it is linked with.
    std::vector<std::string> link = {cc, machine, "-no-pie",
                                     static_runtime ? "-static" : "-nostartfiles",
                                     "-static-libgcc",
                                     "-o", linked, "payload.o",
                                     "-Wl,--whole-archive", runtime,
                                     "-Wl,--no-whole-archive"};
    link.insert(link.end(), runtime_flags.begin(), runtime_flags.end());
    if (run_command(link, dir.path, why)) {
        error = "linking the launcher with " + cc + " failed (" + why + ")";
        return -1;
    }
    return 0;
}

int check_output(const std::string &output, bool replace_protected, std::string &error)
{
    struct stat st;
    if (lstat(output.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0;
        error = output + ": " + strerror(errno);
        return -1;
    }
    if (S_ISLNK(st.st_mode))
        return 0;
    if (!S_ISREG(st.st_mode)) {
        error = output + (S_ISDIR(st.st_mode)
                              ? ": is a directory"
                              : ": not a regular file; only a regular file is replaced");
        return -1;
    }
    // Root may write any file: for it, only the mode bits say read-only.
    bool writable = (st.st_mode & 0222) != 0 &&
                    (faccessat(AT_FDCWD, output.c_str(), W_OK, AT_EACCESS) == 0 ||
                     errno != EACCES);
    if (writable || replace_protected)
        return 0;
    error = output + ": write-protected; --force replaces it";
    return -1;
}

int LinkedLauncher::commit(bool replace_protected, std::string &error)
{
    // Something else may have taken output's name while the launcher was
    // being made.
    if (check_output(output, replace_protected, error) != 0)
        return -1;
    mode_t mask = umask(0);
    umask(mask);
    if (chmod(path.c_str(), 0777 & ~mask) != 0 ||
        rename(path.c_str(), absolute_path(output).c_str()) != 0) {
        error = output + ": " + strerror(errno);
        return -1;
    }
    forget_on_signal(signal_slot);
    path.clear();
    return 0;
}

LinkedLauncher::~LinkedLauncher()
{
    if (path.empty())
        return;
    forget_on_signal(signal_slot);
    unlink(path.c_str());
}

// Reads the linked launcher back as --verify will and writes the digest of
// its code into the manifest, in place: the manifest is not loaded and not
// covered by that digest, so writing it changes nothing the digest covers.
static int record_code_digest(const std::vector<PackedEntry> &entries,
                              const PayloadRecords &records, const UnpackOnce &once,
                              const std::string &linked, std::string &error)
{
    MappedFile file;
    LauncherImage image;
    if (file.open(linked, error) != 0)
        return -1;
    // What --force packs breaks the table's rules on purpose; only the
    // digest has to be readable here.
    if (read_launcher(file.data, file.size, image, error) != 0 || !image.has_manifest ||
        !image.code_digest_error.empty()) {
        error = linked + ": the linked launcher does not read back: " +
                (!image.code_digest_error.empty() ? image.code_digest_error
                 : !image.has_manifest            ? std::string("no manifest")
                                                  : error);
        return -1;
    }
    std::string manifest =
        encode_manifest(launcher_manifest(entries, records, image.code_sha256, once));
    if (manifest.size() != image.manifest_size) {
        error = linked + ": the linked manifest has " + std::to_string(image.manifest_size) +
                " bytes, not " + std::to_string(manifest.size());
        return -1;
    }
    uint64_t offset = (uint64_t)(image.manifest - file.data);
    // A tree's manifest runs to megabytes: one pwrite may write less.
    int fd = open(linked.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write_at(fd, manifest.data(), manifest.size(), offset) != 0) {
        error = linked + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        error = linked + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int link_launcher(const std::vector<PackedEntry> &entries, const PayloadRecords &records,
                  const TargetInfo &target, bool static_runtime,
                  const LoaderPathsSource &loader, bool unpack_once,
                  const std::string &output, LinkedLauncher &linked, std::string &error)
{
    const UnpackOnce once = {unpack_once, &target, &loader};
    for (const PackedEntry &e : entries)
        if (e.stream->size() > UINT32_MAX) {
            error = e.name + ": stored stream over 4 GiB, the table cannot hold its size";
            return -1;
        }

    TempDir dir;
    if (dir.create(error))
        return -1;

    std::string final_path = absolute_path(output);
    size_t slash = final_path.rfind('/');
    std::string temp = final_path.substr(0, slash + 1) + "." +
                       final_path.substr(slash + 1) + ".sfxpack-" + std::to_string(getpid());

    // Claim the name first: an output directory that cannot be written is
    // reported plainly, before any work, rather than as a failed link.
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = output + ": " + strerror(errno);
        return -1;
    }
    close(fd);
    linked.path = temp;
    linked.output = output;
    linked.signal_slot = remove_on_signal(temp.c_str(), false);
    // On failure the half-made file goes with linked.
    // The signature's section goes last before anything reads offsets back.
    if (build_in(dir, entries, records, target, static_runtime, loader, once, temp, error) ||
        put_signature_section_last(temp, error))
        return -1;
    return record_code_digest(entries, records, once, temp, error);
}
