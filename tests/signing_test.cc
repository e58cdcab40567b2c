// Signed launchers, from outside: keys made by ssh-keygen, launchers signed
// while packing, later in place and through ssh-keygen, then checked by
// sfxpack --verify --key and by ssh-keygen -Y verify as the README shows.
// A flipped bit anywhere in a signed launcher must fail the check.
#include <elf.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "elf_file.h"
#include "sfx.h"

namespace {

const size_t signature_size = 512;

bool have_ssh_keygen()
{
    return run_process({"sh", "-c", "command -v ssh-keygen"}).exit_code == 0;
}

// An Ed25519 key pair at path and path.pub, its comment the principal.
void make_key(const std::string &path, const std::string &principal,
              const std::string &passphrase = "")
{
    RunResult r = run_process({"ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C",
                               principal, "-f", path});
    ASSERT_EQ(r.exit_code, 0) << r.err;
}

// "SHA256:...", as ssh-keygen -l prints it.
std::string fingerprint(const std::string &public_key)
{
    RunResult r = run_process({"ssh-keygen", "-l", "-f", public_key});
    std::smatch m;
    return std::regex_search(r.out, m, std::regex("SHA256:[A-Za-z0-9+/]+")) ? m.str() : "";
}

// The key's "TYPE BASE64" without its comment.
std::string key_text(const std::string &public_key)
{
    std::string line = read_text(public_key);
    return line.substr(0, line.find(' ', line.find(' ') + 1));
}

std::string flipped(std::string bytes, size_t at, int bit)
{
    bytes[at] = (char)(bytes[at] ^ (1 << bit));
    return bytes;
}

uint64_t section_table_offset(const std::string &file, int elf_class)
{
    uint64_t offset = 0;
    memcpy(&offset, file.data() + (elf_class == ELFCLASS64 ? 0x28 : 0x20),
           elf_class == ELFCLASS64 ? 8 : 4);
    return offset;
}

// How --verify --key refuses a damaged launcher: with status 1 and the
// signature's FAILED line or, when the damage leaves no launcher to read,
// one line on standard error.
bool refused(const RunResult &r)
{
    return r.exit_code == 1 &&
           (r.out.find("\nsignature: FAILED: ") != std::string::npos ||
            (r.out.empty() && split_lines(r.err).size() == 1));
}

class Signing : public TargetTest {
protected:
    ScratchDir scratch;
    std::string alice, bob;  // private keys; .pub beside them

    void SetUp() override
    {
        if (!have_ssh_keygen())
            GTEST_SKIP() << "ssh-keygen (openssh-client) is not installed";
        alice = scratch / "alice";
        bob = scratch / "bob";
        make_key(alice, "alice@example.org");
        make_key(bob, "bob@example.org");
        write_text(scratch / "data.bin", pseudo_random_bytes(6000, 5));
    }

    std::string pack_signed(const std::string &name, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = extra;
        for (const std::string &file : {fixture_path(target(), "probe"),
                                        fixture_path(target(), "libprobe.so"),
                                        scratch / "data.bin"})
            args.push_back(file);
        return pack(target(), scratch / name, args);
    }

    RunResult verify(const std::string &launcher, const std::vector<std::string> &keys)
    {
        std::vector<std::string> args = {"--verify"};
        for (const std::string &key : keys) {
            args.push_back("--key");
            args.push_back(key);
        }
        args.push_back(launcher);
        return run_sfxpack(args);
    }

    // Fails with status 1 and exactly one signature line, which says why.
    void expect_signature_fails(const std::string &launcher, const std::string &why,
                                const std::vector<std::string> &keys)
    {
        RunResult r = verify(launcher, keys);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        std::string line;
        for (const std::string &l : split_lines(r.out))
            if (l.rfind("signature: ", 0) == 0)
                line += l;
        EXPECT_EQ(line.rfind("signature: FAILED: ", 0), 0u) << r.out;
        EXPECT_NE(line.find(why), std::string::npos) << line;
    }
};

// Packing with --sign, signing later in place and embedding what ssh-keygen
// signs give the same bytes; each differs from the unsigned launcher only in
// its last 512 bytes, which are the section signature.
TEST_P(Signing, EveryWayOfSigningGivesTheSameBytes)
{
    std::string plain = pack_signed("plain");
    std::string while_packing = pack_signed("while-packing", {"--sign", alice});
    std::string unsigned_bytes = read_text(plain), signed_bytes = read_text(while_packing);
    ASSERT_EQ(signed_bytes.size(), unsigned_bytes.size());
    size_t body = unsigned_bytes.size() - signature_size;
    EXPECT_EQ(signed_bytes.compare(0, body, unsigned_bytes, 0, body), 0);
    EXPECT_EQ(unsigned_bytes.substr(body), std::string(signature_size, '\0'));
    EXPECT_EQ(signed_bytes.substr(body, 22), "sfxlaunch-signature 1\n");

    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(while_packing, error), 0) << error;
    const ElfSection *section = image.find("signature");
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(section->offset, body);
    EXPECT_EQ(section->size, signature_size);
    EXPECT_EQ(section->flags & SHF_ALLOC, 0u);
    EXPECT_LE(section_table_offset(signed_bytes, image.elf_class), body);

    std::string later = scratch / "later";
    write_text(later, unsigned_bytes);
    chmod(later.c_str(), 0751);
    RunResult signing = run_sfxpack({"--sign", alice, later});
    EXPECT_EQ(signing.exit_code, 0) << signing.err;
    EXPECT_EQ(signing.out, later + ": signed by " + fingerprint(alice + ".pub") + "\n");
    EXPECT_EQ(read_text(later), signed_bytes);
    EXPECT_EQ(file_mode(later), 0751u);

    std::string embedded = scratch / "embedded";
    write_text(embedded, unsigned_bytes);
    write_text(scratch / "signed-bytes", unsigned_bytes.substr(0, body));
    RunResult keygen = run_process({"ssh-keygen", "-Y", "sign", "-n", "sfxlaunch", "-f", alice,
                                    scratch / "signed-bytes"});
    ASSERT_EQ(keygen.exit_code, 0) << keygen.err;
    RunResult embedding = run_sfxpack({"--embed-signature", scratch / "signed-bytes.sig", embedded});
    EXPECT_EQ(embedding.exit_code, 0) << embedding.err;
    EXPECT_EQ(read_text(embedded), signed_bytes);

    // A signature of other bytes is refused and changes nothing.
    write_text(scratch / "other", unsigned_bytes.substr(1, body));
    run_process({"ssh-keygen", "-Y", "sign", "-n", "sfxlaunch", "-f", alice, scratch / "other"});
    RunResult other = run_sfxpack({"--embed-signature", scratch / "other.sig", plain});
    EXPECT_EQ(other.exit_code, 1);
    EXPECT_EQ(split_lines(other.err).size(), 1u) << other.err;
    EXPECT_NE(other.err.find("does not match the signed bytes"), std::string::npos) << other.err;
    EXPECT_EQ(read_text(plain), unsigned_bytes);
}

TEST_P(Signing, SigningAgainWithAnotherKeyReplacesTheSignature)
{
    std::string launcher = pack_signed("launcher", {"--sign", alice});
    std::string before = read_text(launcher);
    RunResult r = run_sfxpack({"--sign", bob, launcher});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string after = read_text(launcher);
    size_t body = before.size() - signature_size;
    EXPECT_EQ(after.compare(0, body, before, 0, body), 0);
    EXPECT_NE(after.substr(body), before.substr(body));

    RunResult by_bob = verify(launcher, {bob + ".pub"});
    EXPECT_EQ(by_bob.exit_code, 0) << by_bob.out;
    EXPECT_NE(by_bob.out.find("signature: ok, signed by " + fingerprint(bob + ".pub")),
              std::string::npos)
        << by_bob.out;
    expect_signature_fails(launcher, "signed by " + fingerprint(bob + ".pub") +
                                         ", which no --key names",
                           {alice + ".pub"});
    // Any of several keys will do.
    EXPECT_EQ(verify(launcher, {alice + ".pub", bob + ".pub"}).exit_code, 0);
}

// Who may sign, as the key files say: a wrong key, an unsigned launcher, an
// allowed_signers line for other namespaces or a cert-authority all fail;
// without --key a good signature passes, unauthenticated.
TEST_P(Signing, OnlyTheKeysGivenAuthenticate)
{
    std::string launcher = pack_signed("launcher", {"--sign", alice});
    std::string plain = pack_signed("plain");
    std::string alice_fp = fingerprint(alice + ".pub");

    expect_signature_fails(launcher, "which no --key names", {bob + ".pub"});
    expect_signature_fails(plain, "not signed", {alice + ".pub"});
    RunResult unauthenticated = verify(launcher, {});
    EXPECT_EQ(unauthenticated.exit_code, 0) << unauthenticated.out;
    EXPECT_NE(unauthenticated.out.find("signature: present but unauthenticated: by " + alice_fp),
              std::string::npos)
        << unauthenticated.out;
    EXPECT_EQ(verify(plain, {}).exit_code, 0);

    const struct {
        std::string line;
        bool passes;
    } signers[] = {
        {"alice@example.org " + key_text(alice + ".pub"), true},
        {"alice@example.org namespaces=\"git,sfx*\" " + key_text(alice + ".pub"), true},
        {"alice@example.org namespaces=\"git\" " + key_text(alice + ".pub"), false},
        {"* namespaces=\"*,!sfxlaunch\" " + key_text(alice + ".pub"), false},
        {"alice@example.org valid-before=\"20000101\" " + key_text(alice + ".pub"), false},
        {"no-pty,command=\"true x\" " + key_text(alice + ".pub") + " alice", true},
    };
    for (const auto &signer : signers) {
        write_text(scratch / "allowed_signers", "# signers\n\n" + signer.line + "\n");
        RunResult r = verify(launcher, {scratch / "allowed_signers"});
        EXPECT_EQ(r.exit_code, signer.passes ? 0 : 1) << signer.line << "\n" << r.out << r.err;
    }

    write_text(scratch / "ca", "* cert-authority " + key_text(alice + ".pub") + "\n" +
                                   "bob@example.org " + key_text(bob + ".pub") + "\n");
    RunResult ca = verify(launcher, {scratch / "ca"});
    EXPECT_EQ(ca.exit_code, 1);
    EXPECT_EQ(ca.err, "sfxpack: warning: " + scratch / "ca" +
                          ":1: a cert-authority line: sfxpack checks plain keys, not "
                          "certificates; line ignored\n");

    write_text(scratch / "broken", "alice@example.org ssh-ed25519 not-base64!\n");
    RunResult broken = verify(launcher, {scratch / "broken"});
    EXPECT_EQ(broken.exit_code, 1);
    EXPECT_EQ(broken.out, "");
    EXPECT_EQ(broken.err, "sfxpack: " + scratch / "broken" + ":1: the key is not base64\n");

    RunResult inspected = run_sfxpack({"--inspect", launcher});
    EXPECT_NE(inspected.out.find("signature:  by " + alice_fp + ", not checked"),
              std::string::npos)
        << inspected.out;
    RunResult checked = run_sfxpack({"--inspect", "--verify", "--key", bob + ".pub", launcher});
    EXPECT_EQ(checked.exit_code, 1);
    EXPECT_NE(checked.out.find("verify:     FAILED"), std::string::npos) << checked.out;
}

// Flips spread over a signed launcher, with some in each section, in the
// ELF, program and section headers and in the signature's armor and
// padding: every one fails --verify --key.
TEST_P(Signing, EveryFlippedBitFailsTheCheck)
{
    std::string launcher = pack_signed("launcher", {"--sign", alice});
    std::string good = read_text(launcher);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;

    std::vector<size_t> offsets = {0, 4, 18, 24, 40, 52, 60};
    for (const ElfSection &s : image.sections)
        if (s.type != SHT_NOBITS && s.size > 0)
            for (uint64_t at : {s.offset, s.offset + s.size / 2, s.offset + s.size - 1})
                offsets.push_back(at);
    uint64_t table = section_table_offset(good, image.elf_class);
    for (uint64_t at = table; at < good.size() - signature_size; at += 97)
        offsets.push_back(at);
    size_t padding = good.find('\0', good.size() - signature_size);
    offsets.push_back(padding);
    offsets.push_back(good.size() - 1);
    while (offsets.size() < 100)
        offsets.push_back(offsets.size() * 7919 % good.size());

    std::string copy = scratch / "flipped";
    for (size_t i = 0; i < offsets.size(); i++) {
        write_text(copy, flipped(good, offsets[i], (int)(i % 8)));
        RunResult r = verify(copy, {alice + ".pub"});
        EXPECT_TRUE(refused(r)) << "byte " << offsets[i] << "\n" << r.out << r.err;
        if (offsets[i] >= padding) {
            EXPECT_NE(r.out.find("padding"), std::string::npos) << r.out;
        }
    }
}

// ssh-keygen checks what sfxpack signs with exactly the README's commands.
TEST_P(Signing, SshKeygenChecksTheSignatureAsTheReadmeShows)
{
    std::string launcher = pack_signed("launcher", {"--sign", alice});
    write_text(scratch / "allowed_signers",
               "alice@example.org namespaces=\"sfxlaunch\" " + key_text(alice + ".pub") + "\n");
    std::string commands =
        "cd \"$D\" && head -c -512 launcher > launcher.signed && "
        "tail -c 512 launcher | sed 1d > launcher.sig && "
        "ssh-keygen -Y verify -n sfxlaunch -f allowed_signers -I alice@example.org "
        "-s launcher.sig < launcher.signed";
    RunOptions options;
    options.set_env = {"D=" + scratch.path};
    RunResult good = run_process({"sh", "-c", commands}, options);
    EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("Good \"sfxlaunch\" signature for alice@example.org"),
              std::string::npos)
        << good.out << good.err;

    write_text(launcher, flipped(read_text(launcher), 1000, 3));
    RunResult bad = run_process({"sh", "-c", commands}, options);
    EXPECT_NE(bad.exit_code, 0) << bad.out;
}

TEST_P(Signing, SignedLauncherRunsAsTheUnsignedOne)
{
    std::string plain = pack_signed("plain"), launcher = pack_signed("signed", {"--sign", alice});
    std::regex pid("probe-[0-9]+");
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"report", "a b"}, {"@list"}, {"exit", "7"}}) {
        RunResult a = run_launcher(plain, args, scratch.path);
        RunResult b = run_launcher(launcher, args, scratch.path);
        EXPECT_EQ(a.exit_code, b.exit_code) << args[0];
        EXPECT_EQ(std::regex_replace(a.out, pid, "probe-PID"),
                  std::regex_replace(b.out, pid, "probe-PID"))
            << args[0];
        EXPECT_EQ(a.err, b.err) << args[0];
    }
}

// What cannot sign is refused with one line before anything is written: an
// encrypted key, a public key, a launcher that was changed after packing.
TEST_P(Signing, WhatCannotSignChangesNothing)
{
    make_key(scratch / "locked", "locked", "a passphrase");
    std::string launcher = pack_signed("launcher");
    std::string before = read_text(launcher);
    for (const std::string &key : {scratch / "locked", alice + ".pub"}) {
        RunResult r = run_sfxpack({"--sign", key, launcher});
        EXPECT_EQ(r.exit_code, 1) << key;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("ssh-keygen -Y sign -n sfxlaunch -f " + key +
                             " and embed with sfxpack --embed-signature"),
                  std::string::npos)
            << r.err;
        RunResult packing = run_sfxpack({"--sign", key, "-o", scratch / "new", scratch / "data.bin"});
        EXPECT_EQ(packing.exit_code, 1);
        EXPECT_FALSE(file_exists(scratch / "new"));
    }
    EXPECT_NE(run_sfxpack({"--sign", scratch / "locked", launcher}).err.find("is encrypted"),
              std::string::npos);

    // One byte of code changed: the manifest no longer vouches for it.
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *text = image.find(".text");
    ASSERT_NE(text, nullptr);
    std::string changed = flipped(before, text->offset + 16, 0);
    write_text(launcher, changed);
    RunResult r = run_sfxpack({"--sign", alice, launcher});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("not signed, the launcher is not as sfxpack made it"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_text(launcher), changed);
    for (const std::string &name : list_dir(scratch.path))
        EXPECT_NE(name[0], '.') << name << " left behind";
}

// A disk too full for the signed copy: the launcher stays as it was and no
// temporary file is left.
TEST_P(Signing, FullDiskLeavesTheLauncherAsItWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    std::string launcher = pack_signed("launcher");
    ScratchDir mount_point;
    std::string room = std::to_string(read_text(launcher).size() + 8192);
    std::string script = "mount -t tmpfs -o size=" + room + " sfxtest \"$DISK\" && "
                         "cp \"$L\" \"$DISK/l\" && \"$SFXPACK\" --sign \"$KEY\" \"$DISK/l\"; "
                         "echo status=$?; ls -A \"$DISK\"; cmp \"$L\" \"$DISK/l\" && echo same";
    RunOptions options;
    options.set_env = {"DISK=" + mount_point.path, "L=" + launcher, "KEY=" + alice,
                       "SFXPACK=" + sfxpack_path()};
    RunResult r = run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script},
                              options);
    EXPECT_EQ(r.out, "status=1\nl\nsame\n") << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
}

// strip rewrites the file: the signature no longer matches, and the
// section is left before the section headers. Signing the stripped launcher
// moves it back last, since the code digest leaves out the header fields
// that strip rewrites.
TEST_P(Signing, StrippingBreaksTheSignatureAndSigningAfterStrippingMendsIt)
{
    std::string launcher = pack_signed("launcher", {"--sign", alice});
    ASSERT_EQ(run_process({"strip", launcher}).exit_code, 0);
    expect_signature_fails(launcher, "", {alice + ".pub"});

    // Unsigned, a stripped launcher is still whole and has nothing to say of
    // signatures; the signed one fails for its stale signature alone.
    std::string plain = pack_signed("plain");
    ASSERT_EQ(run_process({"strip", plain}).exit_code, 0);
    RunResult plain_verify = run_sfxpack({"--verify", plain});
    EXPECT_EQ(plain_verify.exit_code, 0) << plain_verify.out << plain_verify.err;
    EXPECT_EQ(plain_verify.out.find("signature"), std::string::npos);
    RunResult r = run_sfxpack({"--sign", alice, launcher});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(verify(launcher, {alice + ".pub"}).exit_code, 0);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    ASSERT_NE(image.find("signature"), nullptr);
    EXPECT_EQ(image.find("signature")->offset, read_text(launcher).size() - signature_size);
}

INSTANTIATE_FOR_TARGETS(Signing);

// A thousand flips spread evenly over one signed x86_64 launcher, each bit
// position taken in turn: none passes.
TEST(SigningFlips, AThousandFlipsAllFail)
{
#ifdef SFX_SANITIZED
    GTEST_SKIP() << "a thousand checks are left to the plain build";
#endif
    if (!have_ssh_keygen())
        GTEST_SKIP() << "ssh-keygen (openssh-client) is not installed";
    ScratchDir scratch;
    make_key(scratch / "key", "key");
    std::string launcher = pack("x86_64", scratch / "launcher",
                                {"--sign", scratch / "key", fixture_path("x86_64", "probe")});
    std::string good = read_text(launcher);
    std::string copy = scratch / "flipped";
    int passed = 0;
    for (size_t i = 0; i < 1000; i++) {
        size_t at = i * (good.size() - 1) / 999;
        write_text(copy, flipped(good, at, (int)(i % 8)));
        RunResult r = run_sfxpack({"--verify", "--key", scratch / "key.pub", copy});
        if (!refused(r)) {
            passed++;
            ADD_FAILURE() << "byte " << at << " bit " << i % 8 << "\n" << r.out;
        }
    }
    EXPECT_EQ(passed, 0);
}

}  // namespace
