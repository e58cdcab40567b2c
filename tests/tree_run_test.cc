// Launchers that carry a directory tree (sfxpack --add): what @list shows,
// what @unpack and a run make of it, that a run's clean-up and a later run's
// reclaiming remove the whole work directory and nothing through a link or
// on another file system, and the --env variables the program sees.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "sfx.h"

namespace {

// The program of these launchers: a script, so that it can look at and
// change its own work directory; what runs it is the host's, while the
// launcher that unpacks and removes it is the target's.
const char program_script[] = R"(#!/bin/sh
d=$(dirname "$0")
case "$1" in
tree) cd "$d" && find . -path ./.sfxlaunch-work-dir -prune -o -printf '%M %n %p %l\n' | sort -k3 ;;
count) find "$d" | wc -l ;;
make) mkdir -p "$d/made/sub" && echo x >"$d/made/sub/f" && ln -s "$2" "$d/made/out" && echo "$d" ;;
readonly) mkdir -p "$d/ro" "$d/rw" && echo x >"$d/ro/f" && echo x >"$d/rw/f" && chmod 500 "$d/ro" && echo "$d" ;;
mount) mkdir "$d/mnt" && mount -t tmpfs none "$d/mnt" && echo x >"$d/mnt/f" && echo "$d" ;;
size) stat -c %s "$d/$2" ;;
env) env ;;
esac
)";

// app/: a program of its own, data, a link, a hard link, an empty directory.
std::string make_app(const ScratchDir &scratch)
{
    std::string app = scratch / "app";
    make_dirs(app + "/share/deep/er");
    make_dirs(app + "/empty");
    write_text(app + "/share/a.txt", "hello\n");
    write_text(app + "/share/deep/er/z", "zzz\n");
    write_text(app + "/bin-tool", "#!/bin/sh\necho tool\n");
    chmod((app + "/bin-tool").c_str(), 0755);
    symlink("a.txt", (app + "/share/link").c_str());
    link((app + "/share/a.txt").c_str(), (app + "/share/deep/er/hard").c_str());
    return app;
}

std::string write_program(const ScratchDir &scratch)
{
    std::string path = scratch / "run.sh";
    write_text(path, program_script);
    chmod(path.c_str(), 0755);
    return path;
}

class TreeRun : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;

    std::string pack_app(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--add", write_program(scratch) + "=run", "--add",
                                         make_app(scratch)};
        args.insert(args.end(), extra.begin(), extra.end());
        return pack(target(), scratch / "launcher", args);
    }
};

// What find shows of the tree, from the run's program or of @unpack's copy:
// modes, link counts (the hard link shares a.txt's file), link targets.
const char expected_tree[] =
    "drwx------ 3 . \n"
    "drwx------ 4 ./app \n"
    "-rwx------ 1 ./app/bin-tool \n"
    "drwx------ 2 ./app/empty \n"
    "drwx------ 3 ./app/share \n"
    "-rw------- 2 ./app/share/a.txt \n"
    "drwx------ 3 ./app/share/deep \n"
    "drwx------ 2 ./app/share/deep/er \n"
    "-rw------- 2 ./app/share/deep/er/hard \n"
    "-rw------- 1 ./app/share/deep/er/z \n"
    "lrwxrwxrwx 1 ./app/share/link a.txt\n"
    "-rwx------ 1 ./run \n";

TEST_P(TreeRun, ListUnpackAndRunShowTheSameTree)
{
    std::string launcher = pack_app();
    RunResult list = run_launcher(launcher, {"@list"}, temp.path);
    EXPECT_EQ(list.exit_code, 0) << list.err;
    std::vector<std::string> lines = split_lines(list.out);
    ASSERT_EQ(lines.size(), 7u) << list.out;
    EXPECT_EQ(lines[0].substr(11), " run") << list.out;
    EXPECT_NE(list.out.find("\n          0 app/empty/\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\n          0 app/share/deep/er/hard link to app/share/a.txt\n"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("\n          0 app/share/link -> a.txt\n"), std::string::npos)
        << list.out;

    RunResult run = run_launcher(launcher, {"tree"}, temp.path);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected_tree);
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});

    ScratchDir cwd;
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path;
    RunResult unpack = run_launcher(launcher, {"@unpack"}, temp.path, in_cwd);
    EXPECT_EQ(unpack.exit_code, 0) << unpack.err;
    RunResult found = run_process(
        {"sh", "-c", "cd run && find . -printf '%M %n %p %l\\n' | sort -k3"}, in_cwd);
    EXPECT_EQ(found.out, expected_tree);
    EXPECT_EQ(read_text(cwd / "run/app/share/deep/er/hard"), "hello\n");
    EXPECT_EQ(read_text(cwd / "run/app/share/deep/er/z"), "zzz\n");
}

TEST_P(TreeRun, DebugTracesOneLinePerEntryAndEveryRemoval)
{
    std::string launcher = pack_app();
    RunResult r = run_launcher(launcher, {"@debug", "count"}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    int unpacked = 0, unlinked = 0, removed_dirs = 0;
    for (const std::string &line : split_lines(r.out)) {
        unpacked += line.rfind("unpack '", 0) == 0;
        unlinked += line.rfind("unlink: ", 0) == 0;
        removed_dirs += line.rfind("rmdir: ", 0) == 0;
    }
    EXPECT_EQ(unpacked, 7) << r.out;
    EXPECT_EQ(unlinked, 6) << r.out;
    EXPECT_EQ(removed_dirs, 6) << r.out;  // five made, and the work directory
}

// A directory on the way that a link took the place of is never written
// through: the link is only ever removed, what it points to stays.
TEST_P(TreeRun, CleanUpRemovesWhatTheProgramMadeButNothingThroughALink)
{
    std::string launcher = pack_app();
    ScratchDir outside;
    write_text(outside / "keep", "mine");
    RunResult r = run_launcher(launcher, {"make", outside.path}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    EXPECT_EQ(read_text(outside / "keep"), "mine");
}

// Run as an ordinary user, the program leaves a directory it cannot be
// emptied by: one line for each name that stays, and the rest goes.
TEST_P(TreeRun, CleanUpReportsWhatItCannotRemoveAndRemovesTheRest)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the launcher as another user";
    std::string launcher = pack_app();
    ASSERT_EQ(chown(temp.path.c_str(), 65534, 65534), 0);
    chmod(scratch.path.c_str(), 0755);
    RunResult r = run_process({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "env", "TEMP=" + temp.path, launcher, "readonly"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string dir = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.err, dir + "/ro/f: Permission denied\n" + dir +
                         "/ro: Directory not empty\n" + dir + ": Directory not empty\n");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"ro"});
    EXPECT_EQ(list_dir(dir + "/ro"), std::vector<std::string>{"f"});
    chmod((dir + "/ro").c_str(), 0700);
}

TEST_P(TreeRun, CleanUpNeverCrossesIntoAnotherFileSystem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount";
    std::string launcher = pack_app();
    std::string script = "TEMP=\"$1\" \"$2\" mount >\"$1.out\" 2>\"$1.err\"; echo $?; "
                         "d=$(cat \"$1.out\"); cat \"$d/mnt/f\"; umount \"$d/mnt\"";
    RunResult r = run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script,
                               "sh", temp.path, launcher});
    std::string dir = read_text(temp.path + ".out");
    dir.resize(dir.find('\n'));
    EXPECT_EQ(r.out, "0\nx\n") << read_text(temp.path + ".err");
    EXPECT_EQ(read_text(temp.path + ".err"), dir + "/mnt: Device or resource busy\n" + dir +
                                                 ": Directory not empty\n");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"mnt"});
    remove_tree(dir);
    unlink((temp.path + ".out").c_str());
    unlink((temp.path + ".err").c_str());
}

TEST_P(TreeRun, EnvironmentVariablesExpandedForTheProgramOnly)
{
    std::string launcher = pack_app({"--env", "A=$ORIGIN/app:${ORIGIN}:${HOME}", "--env",
                                     "B=${UNSET_HERE}|$$|$HOME|$|${|$ORIGINAL", "--env",
                                     "C=first", "--env", "C=last", "--env", "TEMP=/nowhere"});
    RunOptions options;
    options.set_env = {"HOME=/home/caller"};
    options.unset_env = {"UNSET_HERE"};
    RunResult r = run_launcher(launcher, {"@debug", "env"}, temp.path, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string dir;
    for (const std::string &line : split_lines(r.out))
        if (line.rfind("work dir: '", 0) == 0)
            dir = line.substr(11, line.size() - 12);
    // The launcher's own TEMP is the caller's: its work directory is there.
    ASSERT_EQ(dir.rfind(temp.path + "/", 0), 0u) << r.out;
    std::string a = "A=" + dir + "/app:" + dir + ":/home/caller";
    std::string b = "B=|$|$HOME|$|${|$ORIGINAL";
    for (const std::string &line : {a, b, std::string("C=last"), std::string("TEMP=/nowhere")}) {
        EXPECT_NE(r.out.find("\nenv: " + line + "\n"), std::string::npos) << line << r.out;
        EXPECT_NE(r.out.find("\n" + line + "\n"), std::string::npos) << line << r.out;
    }
    EXPECT_EQ(r.out.find("C=first"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("TEMP=" + temp.path), std::string::npos) << r.out;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

// Values that $ORIGIN puts a ':' or '$' into would not say what was meant:
// such a payload is never unpacked where its path has either.
TEST_P(TreeRun, EnvironmentPayloadRefusesAColonInItsPath)
{
    std::string launcher = pack_app({"--env", "P=$ORIGIN"});
    ScratchDir parent;
    std::string cwd = parent / "a:b";
    make_dirs(cwd);
    RunOptions in_cwd;
    in_cwd.cwd = cwd;
    RunResult r = run_launcher(launcher, {"@unpack"}, temp.path, in_cwd);
    EXPECT_EQ(r.exit_code, 126);
    EXPECT_EQ(r.err, cwd + "/run is a path with ':' in it, which the packed program's "
                           "environment cannot hold\n");
    EXPECT_EQ(list_dir(cwd), std::vector<std::string>{});

    // A run passes such a temp directory over for a fallback.
    RunResult run = run_launcher(launcher, {"env"}, cwd);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    size_t at = run.out.find("\nP=/");
    ASSERT_NE(at, std::string::npos) << run.out;
    std::string value = run.out.substr(at + 3, run.out.find('\n', at + 1) - at - 3);
    EXPECT_EQ(value.find(':'), std::string::npos) << value;
    EXPECT_EQ(value.rfind(cwd, 0), std::string::npos) << value;
}

TEST_P(TreeRun, AThousandEntries)
{
    std::string many = scratch / "many";
    for (int d = 0; d < 10; d++) {
        make_dirs(many + "/d" + std::to_string(d));
        for (int f = 0; f < 100; f++)
            write_text(many + "/d" + std::to_string(d) + "/f" + std::to_string(f),
                       std::to_string(d * 100 + f));
    }
    std::string launcher =
        pack(target(), scratch / "launcher", {"--add", write_program(scratch) + "=run", "--add", many});
    RunResult list = run_launcher(launcher, {"@list"}, temp.path);
    EXPECT_EQ(split_lines(list.out).size(), 1001u);
    RunResult count = run_launcher(launcher, {"count"}, temp.path);
    EXPECT_EQ(count.out, "1014\n") << count.err;  // and 12 directories and the marker
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    RunOptions in_cwd;
    in_cwd.cwd = scratch.path;
    EXPECT_EQ(run_launcher(launcher, {"@unpack"}, temp.path, in_cwd).exit_code, 0);
    EXPECT_EQ(read_text(scratch / "run/many/d7/f42"), "742");
    EXPECT_EQ(list_dir(scratch / "run/many/d9").size(), 100u);
}

INSTANTIATE_FOR_TARGETS(TreeRun);

// Dead tree run directories, as a launcher killed before its clean-up
// leaves them: the next runs of the same program remove them whole, a few
// thousand names per run, and never follow a link planted inside.
class TreeReclaim : public TreeRun {
protected:
    std::string dead_dir(const std::string &name)
    {
        std::string dir = temp / name;
        make_dirs(dir + "/app/share/deep");
        write_text(dir + "/run", "program");
        write_text(dir + "/app/share/deep/z", "z");
        write_text(dir + "/.sfxlaunch-work-dir", "");
        return dir;
    }
};

TEST_P(TreeReclaim, DeadTreeGoesWholeButNotThroughAPlantedLink)
{
    std::string launcher = pack_app();
    std::string dir = dead_dir("run-4000001");
    ScratchDir outside;
    make_dirs(outside / "sub");
    write_text(outside / "sub/keep", "mine");
    ASSERT_EQ(symlink((outside / "sub").c_str(), (dir + "/app/share/into").c_str()), 0);
    ASSERT_EQ(symlink((outside / "sub").c_str(), (dir + "/app/outdir").c_str()), 0);

    RunResult r = run_launcher(launcher, {"@debug", "count"}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\nreclaim: " + dir + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    EXPECT_EQ(read_text(outside / "sub/keep"), "mine");
}

TEST_P(TreeReclaim, LargeDeadTreeIsFinishedByLaterRuns)
{
    std::string launcher = pack_app();
    std::string dir = dead_dir("run-4000002");
    for (int d = 0; d < 20; d++) {
        std::string sub = dir + "/app/d" + std::to_string(d);
        make_dirs(sub);
        for (int f = 0; f < 1000; f++)
            write_text(sub + "/" + std::to_string(f), "");
    }
    EXPECT_EQ(run_launcher(launcher, {"count"}, temp.path).exit_code, 0);
    // Partly gone; the marker says it is still a dead run's.
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{"run-4000002"});
    EXPECT_TRUE(file_exists(dir + "/.sfxlaunch-work-dir"));
    RunResult left = run_process({"sh", "-c", "find \"$0\" | wc -l", dir});
    EXPECT_GT(std::stoi(left.out), 1000);
    EXPECT_LT(std::stoi(left.out), 20000);
    for (int run = 0; run < 4 && !list_dir(temp.path).empty(); run++)
        EXPECT_EQ(run_launcher(launcher, {"count"}, temp.path).exit_code, 0);
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

INSTANTIATE_FOR_TARGETS(TreeReclaim);

// Sizes past 2^31 through an i386 launcher's decoder and writes, in a run
// and in @unpack alike; as a tree's file, whose dictionary is capped as a
// flat entry's is (an i386 launcher could not allocate one of 2 GiB).
TEST(LargeEntry, Over2GiBOnI386)
{
#ifdef SFX_SANITIZED
    GTEST_SKIP() << "left to the plain build: packing and decoding 2 GiB instrumented takes minutes";
#endif
    const unsigned long long size = (1ull << 31) + 4096;
    ScratchDir scratch;
    struct statvfs fs;
    if (statvfs(scratch.path.c_str(), &fs) != 0 ||
        (unsigned long long)fs.f_bavail * fs.f_frsize < 2 * size + (64ull << 20))
        GTEST_SKIP() << "needs about 4.2 GiB free in " << scratch.path;
    std::string big = scratch / "big";
    ASSERT_EQ(truncate((write_text(big, ""), big).c_str(), (off_t)size), 0);
    std::string launcher =
        pack("i386", scratch / "launcher", {"-0", write_program(scratch), "--add", big});
    remove(big.c_str());
    remove((scratch / "run.sh").c_str());
    RunResult run = run_launcher(launcher, {"size", "big"}, scratch.path);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, std::to_string(size) + "\n");
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{"launcher"});
    RunOptions in_cwd;
    in_cwd.cwd = scratch.path;
    RunResult unpack = run_launcher(launcher, {"@unpack"}, scratch.path, in_cwd);
    EXPECT_EQ(unpack.exit_code, 0) << unpack.err;
    struct stat st;
    ASSERT_EQ(stat((scratch / "run.sh/big").c_str(), &st), 0);
    EXPECT_EQ((unsigned long long)st.st_size, size);
}

// Where 100,000 small files are made and removed in seconds rather than in
// minutes (a disk of a loaded virtual machine): the shared memory tmpfs,
// when there is one with room.
std::string quick_parent()
{
    struct statvfs fs;
    if (statvfs("/dev/shm", &fs) == 0 && (unsigned long long)fs.f_bavail * fs.f_frsize > (2ull << 30) &&
        access("/dev/shm", W_OK) == 0 && (fs.f_flag & ST_NOEXEC) == 0)
        return "/dev/shm";
    const char *dir = getenv("TMPDIR");
    return dir != NULL ? dir : "/tmp";
}

// 100,000 entries, once: at -0 and without the stream cache, so that the
// pass itself is what takes the time. Not under the sanitizers, whose
// launchers are many times slower.
TEST(HugeTree, HundredThousandEntriesOnX86_64)
{
#ifdef SFX_SANITIZED
    GTEST_SKIP() << "left to the plain build";
#endif
    ScratchDir scratch(quick_parent());
    ScratchDir temp(quick_parent());
    RunOptions in_cwd;
    in_cwd.cwd = scratch.path;
    in_cwd.timeout_seconds = 280;
    std::string many = scratch / "many";
    for (int d = 0; d < 100; d++) {
        std::string dir = many + "/d" + std::to_string(d);
        make_dirs(dir);
        for (int f = 0; f < 1000; f++)
            write_text(dir + "/f" + std::to_string(f), std::to_string(d * 1000 + f));
    }
    auto started = std::chrono::steady_clock::now();
    std::string launcher = pack("x86_64", scratch / "launcher",
                                {"-0", "--no-cache", "--add", write_program(scratch) + "=run",
                                 "--add", many});
    remove_tree(many);
    auto packed = std::chrono::steady_clock::now();
    RunResult list = run_launcher(launcher, {"@list"}, temp.path, in_cwd);
    EXPECT_EQ(split_lines(list.out).size(), 100001u);
    RunResult count = run_launcher(launcher, {"count"}, temp.path, in_cwd);
    EXPECT_EQ(count.exit_code, 0);
    EXPECT_EQ(count.out, "100104\n") << count.err;
    EXPECT_EQ(count.err, "");
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    auto ran = std::chrono::steady_clock::now();
    EXPECT_EQ(run_launcher(launcher, {"@unpack"}, temp.path, in_cwd).exit_code, 0);
    EXPECT_EQ(read_text(scratch / "run/many/d99/f999"), "99999");
    EXPECT_EQ(list_dir(scratch / "run/many/d42").size(), 1000u);
    auto seconds = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    // Reported, never asserted.
    std::printf("in %s: packing %.1f s, @list and a run %.1f s, @unpack %.1f s\n",
                scratch.path.c_str(), seconds(started, packed), seconds(packed, ran),
                seconds(ran, std::chrono::steady_clock::now()));
}

}  // namespace
