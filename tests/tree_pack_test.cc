// Tree payloads as sfxpack writes them (--add, --exclude-path, --env, a
// bundle over the flat limit), read back from the launcher's own sections:
// what each entry is, its mode, its links, which entries share a stream, and
// what is refused before anything is written.
#include <elf.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "elf_file.h"
#include "payload.h"
#include "sfx.h"

namespace {

// One record of payload_entries and, in a tree, of payload_tree.
struct Record {
    std::string name;
    uint64_t data = 0;
    uint32_t size = 0;
    uint32_t dictionary = 0;  // from the stream's header, when it has one
    uint32_t kind = 0, mode = 0, link = 0;
    std::string target;
};

struct Payload {
    std::vector<Record> records;
    bool tree = false;
    uint64_t streams = 0;          // where the streams section starts
    std::string environment;       // the records, NUL-ended, back to back
    uint32_t environment_count = 0;
};

uint64_t le(const std::string &bytes, size_t at, size_t width)
{
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

std::string text_at(const ElfImage &image, uint64_t addr)
{
    std::string text, c;
    while (image.read(addr++, 1, c) && c[0] != '\0')
        text += c;
    return text;
}

// Reads the payload as a launcher would find it, by the target's layout.
Payload read_payload(const std::string &launcher)
{
    Payload p;
    ElfImage image;
    std::string error;
    EXPECT_EQ(image.load(launcher, error), 0) << error;
    size_t pointer = image.elf_class == ELFCLASS64 ? 8 : 4;
    size_t record = image.elf_class == ELFCLASS64 ? 24 : 12;
    const ElfSection *table = image.find(PAYLOAD_TABLE_SECTION);
    const ElfSection *streams = image.find(PAYLOAD_STREAMS_SECTION);
    if (table == nullptr || streams == nullptr) {
        ADD_FAILURE() << "no payload in " << launcher;
        return p;
    }
    p.streams = streams->addr;
    for (size_t at = 0; at + record <= table->bytes.size(); at += record) {
        Record r;
        r.data = le(table->bytes, at, pointer);
        uint64_t name = le(table->bytes, at + pointer, pointer);
        r.size = (uint32_t)le(table->bytes, at + 2 * pointer, 4);
        if (name == 0)
            break;
        r.name = text_at(image, name);
        std::string header;
        if (r.size >= LZMA_ALONE_HEADER_SIZE && image.read(r.data, LZMA_ALONE_HEADER_SIZE + 1, header))
            r.dictionary = (uint32_t)le(header, (unsigned char)header[0] == 0 ? 2 : 1, 4);
        p.records.push_back(r);
    }
    if (const ElfSection *tree = image.find(PAYLOAD_TREE_SECTION)) {
        p.tree = true;
        EXPECT_EQ(le(tree->bytes, 0, 4), p.records.size());
        std::string entries;
        uint64_t at = le(tree->bytes, pointer, pointer);
        size_t size = pointer == 8 ? 24 : 16;
        EXPECT_TRUE(image.read(at, size * p.records.size(), entries));
        for (size_t i = 0; i < p.records.size() && (i + 1) * size <= entries.size(); i++) {
            Record &r = p.records[i];
            r.kind = (uint32_t)le(entries, i * size, 4);
            r.mode = (uint32_t)le(entries, i * size + 4, 4);
            r.link = (uint32_t)le(entries, i * size + 8, 4);
            uint64_t target = le(entries, i * size + size - pointer, pointer);
            if (target != 0)
                r.target = text_at(image, target);
        }
    }
    if (const ElfSection *env = image.find(PAYLOAD_ENV_SECTION)) {
        p.environment_count = (uint32_t)le(env->bytes, 0, 4);
        uint64_t at = le(env->bytes, pointer, pointer);
        for (uint32_t i = 0; i < p.environment_count; i++) {
            std::string one = text_at(image, at);
            p.environment += one + '\0';
            at += one.size() + 1;
        }
    }
    return p;
}

const Record *find_record(const Payload &p, const std::string &name)
{
    for (const Record &r : p.records)
        if (r.name == name)
            return &r;
    return nullptr;
}

class TreePack : public TargetTest {
protected:
    ScratchDir scratch;
    std::string src = scratch / "src";
    std::string program = scratch / "prog";

    void SetUp() override
    {
        write_text(program, "#!/bin/sh\necho packed\n");
        chmod(program.c_str(), 0755);
        ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
    }

    void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }
    void make_link(const std::string &text, const std::string &path)
    {
        ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path;
    }

    RunResult sfxpack(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--target", target()});
        return run_sfxpack(args);
    }
};

// Paths, modes, empty directories, links kept and hard links, identical
// files stored once, what --exclude-path leaves out and the --env records,
// as the launcher's sections hold them.
TEST_P(TreePack, RecordsSayWhatEachEntryIs)
{
    make_dir(src + "/lib");
    make_dir(src + "/lib/__pycache__");
    make_dir(src + "/empty");
    write_text(src + "/lib/a.txt", "same bytes\n");
    write_text(src + "/lib/b.txt", "same bytes\n");
    write_text(src + "/lib/__pycache__/a.pyc", "left out\n");
    write_text(src + "/lib/big", pseudo_random_bytes(5000, 1));
    write_text(src + "/run", "#!/bin/sh\n");
    chmod((src + "/run").c_str(), 0740);
    ASSERT_EQ(link((src + "/lib/a.txt").c_str(), (src + "/lib/hard").c_str()), 0);
    make_link("a.txt", src + "/lib/link");
    make_link("lib", src + "/libdir");

    RunResult r = sfxpack({"-v", "-o", scratch / "out", program, "--add", src + "=app",
                           "--exclude-path", "*/__pycache__", "--env", "A=1", "--env",
                           "B=$ORIGIN/lib:${PATH}", "--env", "A=2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("identical files stored once: 1 file sharing an earlier one's stream, "
                         "11 bytes unpacked, "),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("entry 6: app/lib/link -> a.txt (--add " + src +
                         "; a symbolic link, found at " + src + "/lib/link)"),
              std::string::npos) << r.out;

    Payload p = read_payload(scratch / "out");
    ASSERT_TRUE(p.tree);
    std::vector<std::string> names;
    for (const Record &rec : p.records)
        names.push_back(rec.name);
    // The program first, then bytewise; the hard link after its file.
    EXPECT_EQ(names, (std::vector<std::string>{"prog", "app/empty", "app/lib/a.txt",
                                               "app/lib/b.txt", "app/lib/big", "app/lib/hard",
                                               "app/lib/link", "app/libdir", "app/run"}));
    ASSERT_EQ(p.records.size(), 9u);
    const Record &prog = p.records[0], &empty = p.records[1], &a = p.records[2],
                 &b = p.records[3], &big = p.records[4], &hard = p.records[5],
                 &link = p.records[6], &dir_link = p.records[7], &run = p.records[8];
    EXPECT_EQ(prog.kind, (uint32_t)TREE_FILE);
    EXPECT_EQ(prog.mode, 0700u);
    EXPECT_EQ(empty.kind, (uint32_t)TREE_DIRECTORY);
    EXPECT_EQ(empty.mode, 0700u);
    EXPECT_EQ(dir_link.kind, (uint32_t)TREE_SYMLINK);
    EXPECT_EQ(dir_link.target, "lib");
    EXPECT_EQ(a.mode, 0600u);
    EXPECT_EQ(run.mode, 0700u);  // the owner's execute bit alone decides
    EXPECT_EQ(hard.kind, (uint32_t)TREE_HARD_LINK);
    EXPECT_EQ(hard.link, 2u);
    EXPECT_EQ(link.kind, (uint32_t)TREE_SYMLINK);
    EXPECT_EQ(link.target, "a.txt");
    // Identical bytes, one stream; an entry without one points at the
    // streams' start with size 0.
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(a.size, b.size);
    EXPECT_NE(a.data, big.data);
    for (const Record *none : {&empty, &dir_link, &hard, &link}) {
        EXPECT_EQ(none->size, 0u) << none->name;
        EXPECT_EQ(none->data, p.streams) << none->name;
        EXPECT_EQ(none->mode == 0, none->kind != TREE_DIRECTORY) << none->name;
    }
    // A small file's dictionary is no larger than itself, in whole 4 KiB.
    EXPECT_EQ(a.dictionary, 4096u);
    EXPECT_EQ(big.dictionary, 8192u);
    EXPECT_EQ(p.environment_count, 2u);
    EXPECT_EQ(p.environment, std::string("A=2\0B=$ORIGIN/lib:${PATH}\0", 26));
    // The manifest says the same of every entry and of --env: --verify
    // decodes the shared stream for both names, --inspect shows the last A.
    RunResult checked = run_sfxpack({"--verify", scratch / "out"});
    EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
    RunResult shown = run_sfxpack({"--inspect", scratch / "out"});
    EXPECT_EQ(shown.exit_code, 0) << shown.err;
    EXPECT_NE(shown.out.find("env:        2 records\n  A=2\n  B=$ORIGIN/lib:${PATH}\n"),
              std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("A=1"), std::string::npos) << shown.out;

    // The same files flat: as ever, no tree, the usual dictionary; --env
    // alone makes no tree.
    r = sfxpack({"-o", scratch / "flat", "--env", "X=1", program, src + "/lib/a.txt",
                 src + "/lib/b.txt"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Payload flat = read_payload(scratch / "flat");
    EXPECT_FALSE(flat.tree);
    ASSERT_EQ(flat.records.size(), 3u);
    EXPECT_NE(flat.records[1].data, flat.records[2].data);
    EXPECT_EQ(flat.records[1].dictionary, 1u << 24);
    EXPECT_EQ(flat.environment, std::string("X=1\0", 4));
}

// A link whose target lies outside what is packed is packed as what it
// points to, a file or a whole directory, and -v says so; one that points
// back inside stays a link. Without FILE the first --add is the program.
TEST_P(TreePack, LinksOutsideArePackedAsWhatTheyPointTo)
{
    std::string outside = scratch / "outside";
    make_dir(outside);
    write_text(outside + "/data", "outside\n");
    make_link(outside, src + "/dir");
    make_link(outside + "/data", src + "/file");
    make_link("dir/data", src + "/inside");
    RunResult r = sfxpack({"-n", "--add", program, "--add", src + "=app"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("note: app/dir: the symbolic link " + src + "/dir -> " + outside +
                         " points outside what is packed, so it is packed as what it points "
                         "to, " + outside),
              std::string::npos) << r.out;

    r = sfxpack({"-o", scratch / "out", "--add", program, "--add", src + "=app"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Payload p = read_payload(scratch / "out");
    ASSERT_EQ(p.records.size(), 4u);
    EXPECT_EQ(p.records[0].name, "prog");
    EXPECT_EQ(p.records[1].name, "app/dir/data");
    EXPECT_EQ(p.records[1].kind, (uint32_t)TREE_FILE);
    EXPECT_EQ(p.records[2].name, "app/file");
    EXPECT_EQ(p.records[2].kind, (uint32_t)TREE_FILE);
    EXPECT_EQ(p.records[1].data, p.records[2].data);
    EXPECT_EQ(p.records[3].name, "app/inside");
    EXPECT_EQ(p.records[3].target, "dir/data");
}

// A link kept must reach, step by step through what is packed, the very
// entry it points at: a step through a directory --exclude-path leaves out
// would stop the kernel at run time, even where a ".." comes back after it.
TEST_P(TreePack, LinksAreKeptOnlyWhereEveryStepIsPacked)
{
    make_dir(src + "/sub");
    make_dir(src + "/gone");
    write_text(src + "/sub/f", "f\n");
    write_text(src + "/b", "b\n");
    make_link("sub/../b", src + "/back");
    make_link("gone/../b", src + "/skip");

    RunResult r = sfxpack({"-o", scratch / "kept", "--add", program, "--add", src + "=app",
                           "--exclude-path", "app/skip"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Payload kept = read_payload(scratch / "kept");
    const Record *back = find_record(kept, "app/back");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->kind, (uint32_t)TREE_SYMLINK);
    EXPECT_EQ(back->target, "sub/../b");
    RunResult checked = run_sfxpack({"--verify", scratch / "kept"});
    EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;

    std::vector<std::string> before = list_dir(scratch.path);
    r = sfxpack({"-o", scratch / "refused", "--add", program, "--add", src + "=app",
                 "--exclude-path", "app/gone"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("app/skip -> gone/../b: resolved through the tree's entries from its "
                         "own directory, it leaves the tree"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(list_dir(scratch.path), before);
}

// A bundle of more than 32 entries is a tree now, its libraries beside the
// program as in a flat one; plain packing of as many files is refused as
// before, and --force still makes the flat launcher that lists them.
TEST_P(TreePack, ABundleOverTheFlatLimitBecomesATree)
{
    std::string dir = fixture_path(target(), "bundle");
    std::vector<std::string> args = {"--bundle", "-o", scratch / "out"};
    std::vector<std::string> files = {"-o", scratch / "plain", program};
    for (int i = 0; i < 32; i++) {
        std::string data = scratch / ("d" + std::to_string(i));
        write_text(data, std::to_string(i));
        if (i < 29)
            args.insert(args.end(), {"--include", data});
        files.push_back(data);
    }
    args.push_back(dir + "/chain");
    RunOptions options;
    options.set_env = {"LD_LIBRARY_PATH=" + dir};
    std::vector<std::string> argv = {sfxpack_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run_process(argv, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Payload p = read_payload(scratch / "out");
    EXPECT_TRUE(p.tree);
    ASSERT_EQ(p.records.size(), 33u);
    EXPECT_EQ(p.records[0].name, "chain");
    for (size_t i = 1; i < p.records.size(); i++) {
        EXPECT_EQ(p.records[i].name.find('/'), std::string::npos) << p.records[i].name;
        EXPECT_EQ(p.records[i].kind, (uint32_t)TREE_FILE);
        if (i > 1) {
            EXPECT_LT(p.records[i - 1].name, p.records[i].name);
        }
    }
    EXPECT_NE(find_record(p, "libbun_common.so.1"), nullptr);
    // Its libraries beside it, the program finds them through $ORIGIN as
    // in a flat bundle; and what was packed verifies as what runs.
    RunOptions run;
    run.cwd = "/";
    run.unset_env = {"LD_LIBRARY_PATH"};
    RunResult ran = run_launcher(scratch / "out", {"x"}, scratch.path, run);
    EXPECT_EQ(ran.out, "chain 13\narg x\n") << ran.err;
    EXPECT_EQ(ran.exit_code, 0);
    r = run_sfxpack({"--verify", scratch / "out"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

    r = run_sfxpack(files);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("33 entries, but a launcher can unpack at most 32"), std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(scratch / "plain"));
    files.push_back("--force");
    r = run_sfxpack(files);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(read_payload(scratch / "plain").tree);
}

// Every refusal: one line naming what is wrong, a defined status, nothing
// written.
TEST_P(TreePack, RefusalsSayWhyAndLeaveNothing)
{
    // a/l -> .. looks harmless; a/x -> l/../trick/b then reads as a path
    // inside, and points at a file packed, but resolves outside the tree.
    std::string trick = scratch / "trick";
    make_dir(trick);
    make_dir(trick + "/a");
    write_text(trick + "/b", "b\n");
    make_link("..", trick + "/a/l");
    make_link("l/../trick/b", trick + "/a/x");
    std::string loop = scratch / "loop";
    make_dir(loop);
    make_link("two", loop + "/one");
    make_link("one", loop + "/two");
    std::string dangling = scratch / "dangling";
    make_dir(dangling);
    make_link("nowhere", dangling + "/d");
    std::string up = scratch / "up";
    make_dir(up);
    make_link("..", up + "/parent");
    std::string through = scratch / "through";
    make_dir(through);
    make_dir(through + "/sub");
    write_text(through + "/sub/f", "f\n");
    make_link("sub", through + "/l");
    std::string fifo = scratch / "fifo";
    make_dir(fifo);
    ASSERT_EQ(mkfifo((fifo + "/pipe").c_str(), 0600), 0);
    std::string socket_dir = scratch / "socket";
    make_dir(socket_dir);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string socket_path = socket_dir + "/s";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    int bound = bind(fd, (struct sockaddr *)&address, sizeof address);
    close(fd);
    ASSERT_EQ(bound, 0);

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    std::vector<Case> cases = {
        {{program, "--add", trick + "=app"}, 2,
         "app/a/x -> l/../trick/b: resolved through the tree's entries from its own "
         "directory, it leaves the tree"},
        {{program, "--add", loop}, 1, "/loop/one: a symbolic link to two, which loops"},
        {{program, "--add", dangling}, 1,
         "/dangling/d: a symbolic link to nowhere, which does not exist"},
        {{program, "--add", up}, 2, ", which holds what is packed: a directory loop"},
        {{program, "--add", through, "--add", src + "=through/l/g"}, 2,
         "entry path 'through/l/g' runs through 'through/l', a symbolic link entry"},
        {{program, "--add", program + "=lib/a", "--add", program + "=lib/a"}, 2,
         "two entries have the path 'lib/a'"},
        {{program, "--add", fifo}, 1, "/fifo/pipe: a FIFO cannot be packed"},
        {{program, "--add", socket_dir}, 1, "/socket/s: a socket cannot be packed"},
        {{program, "--env", "1X=2"}, 2, "--env takes NAME=VALUE"},
        {{program, "--env", "X"}, 2, "--env takes NAME=VALUE"},
        {{"--add", program + "=bin/prog"}, 2,
         "the program, entry 0 ('bin/prog' from " + program + "), must be a file of a "
         "single path component"},
        {{"--add", src}, 2, "the program, entry 0"},
        {{program, "--add", program + "=../x"}, 2, "has an empty, '.' or '..' component"},
        {{program, "--add", program + "=.sfxlaunch-work-dir"}, 2, "is reserved"},
        {{program, "--add", scratch / "absent"}, 1, "absent: No such file or directory"},
        {{"--add", src, "--exclude-path", "*"}, 2, "--exclude-path leaves nothing to pack"},
    };
    std::vector<std::string> before = list_dir(scratch.path);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {"-o", scratch / "out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = sfxpack(args);
        EXPECT_EQ(r.exit_code, c.status) << r.err;
        EXPECT_EQ(r.err.rfind("sfxpack: ", 0), 0u) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(list_dir(scratch.path), before);
    }
}

INSTANTIATE_FOR_TARGETS(TreePack);

}  // namespace
