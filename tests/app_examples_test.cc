// The README's worked examples of shipping a whole application: python3,
// git, perl and tmux from this machine's Debian packages, each packed once
// with the README's own command (plus -0, to keep the suite quick), run
// inside the Debian 11 root and the root with no C library with a private
// /dev, and held to the output of the same commands run directly on the
// host. Their helpers, extension modules and plugins are ELF objects of the
// tree, so these runs fail wherever one of them misses a library or the
// packed loader.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "root_run.h"
#include "sfx.h"

namespace {

const char *const example_roots[] = {"debian11", "nolibc"};

// Everything the script asks of the standard library's C modules: _ssl and
// _hashlib (libssl, libcrypto), _sqlite3 (libsqlite3), _json; a module that
// failed to load would be an ImportError, or a pure-Python stand-in that
// the names printed here tell apart. Then Python started again as
// sys.executable, as multiprocessing starts it, which works only where
// Python found itself.
const char python_script[] = R"py(import hashlib, json, os, sqlite3, ssl, subprocess, sys
print(ssl.OPENSSL_VERSION)
db = sqlite3.connect(":memory:")
db.execute("create table t (n integer, word text)")
db.executemany("insert into t values (?, ?)", [(1, "one"), (2, "two"), (3, "three")])
print(sqlite3.sqlite_version, db.execute("select sum(n), group_concat(word) from t").fetchone())
print(json.dumps({"b": [1, 2.5, None], "a": "\u00e9"}, sort_keys=True))
print(json.decoder.c_scanstring is not None)
print(hashlib.sha256.__name__, hashlib.sha256(b"sfxlaunch").hexdigest())
print(os.path.relpath(json.__file__, sys.prefix))
sys.stdout.flush()
child = "import ssl, sys; print(sys.version_info[:2], ssl.OPENSSL_VERSION)"
subprocess.run([sys.executable, "-c", child], check=True)
)py";

// The README's script-rule example: a helper script of the tree, started
// by name through PATH, whose interpreter is packed beside it in bin/ and
// found through the PATH that --env puts bin/ first in.
const char python_helper[] = R"py(#!/usr/bin/env python3.11
import os, sqlite3, sys
print("hello:", sqlite3.sqlite_version)
print(os.path.relpath(sys.executable, sys.prefix), os.path.relpath(os.__file__, sys.prefix))
)py";

// A repository made, committed to and cloned through file://, which runs
// git-upload-pack from the exec path (commit starts git from there too, for
// its maintenance), then the clone's log. Each git is a run of its own, so
// as few as that takes. Relative paths only, as the output must be the
// same wherever it runs.
const char git_steps[] = R"(set -e
git=$1
$git init -q -b main repo
echo hello >repo/greeting
$git -C repo add greeting
$git -C repo commit -q -m first
$git clone -q "file://$PWD/repo" copy
$git -C copy log --format='%h %an <%ae> %ad %cn <%ce> %s' --date=iso-strict --stat
cat copy/greeting copy/.git/description
)";

// A tmux server started by one run and used by the next ones; the server's
// pid is kept so that the test can make sure it is gone, and steps that
// fail half-way stop it themselves.
const char tmux_steps[] = R"(set -e
tmux=$1
socket=$PWD/socket
trap 'test $? = 0 || $tmux -S "$socket" kill-server 2>/dev/null' EXIT
$tmux -S "$socket" new-session -d -s work -n first 'sleep 600'
$tmux -S "$socket" display-message -p '#{pid}' >server.pid
$tmux -S "$socket" new-window -d -n second 'sleep 600'
$tmux -S "$socket" list-sessions -F '#{session_name}: #{session_windows} windows'
$tmux -S "$socket" list-windows -F '#{window_index} #{window_name}'
$tmux -S "$socket" kill-server
)";

const char perl_line[] =
    "print sum(1..10), ' ', max(3, 9, 2), ' ', POSIX::floor(-2.5), ' ', "
    "POSIX::strftime('%Y-%m-%d', gmtime(86400 * 365)), ' ', "
    "inet_ntoa(inet_aton('127.0.0.1')), qq(\\n)";

// Each example starts in a scratch directory of its own, on the host and in
// each root's /tmp; the launcher in a root is in its scratch directory.
class AppExample : public ::testing::Test {
protected:
    ScratchDir host;
    std::unique_ptr<ScratchDir> there[2];
    std::string inside[2];  // there[i] as the root names it

    void SetUp() override
    {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "left to the plain build: the sanitizers' run-time code needs the "
                        "glibc that built it, and this suite's own test program covers a tree's "
                        "helpers and plugins there";
#endif
        for (int i = 0; i < 2; i++)
            ASSERT_EQ(test_root_missing(test_root(example_roots[i])), "");
        if (geteuid() != 0)
            GTEST_SKIP() << "chroot needs root";
        for (int i = 0; i < 2; i++) {
            std::string root = test_root(example_roots[i]);
            there[i] = std::make_unique<ScratchDir>(root + "/tmp");
            ASSERT_FALSE(there[i]->path.empty()) << root;
            inside[i] = path_in_root(root, there[i]->path);
            ASSERT_EQ(mkdir((*there[i] / "temp").c_str(), 0700), 0);
        }
    }

    // Packs with sfxpack's arguments as given into the host's scratch and
    // copies the launcher into each root's.
    void pack_example(const std::string &name, const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"-0", "-q", "-o", host / name};
        all.insert(all.end(), args.begin(), args.end());
        RunResult packed = run_sfxpack(all);
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
        for (int i = 0; i < 2; i++)
            put(*there[i] / name, read_text(host / name), 0755);
    }

    static void put(const std::string &path, const std::string &text, mode_t mode)
    {
        write_text(path, text);
        ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
    }

    // A file for the runs, on the host and in each root.
    void put_everywhere(const std::string &name, const std::string &text, mode_t mode = 0644)
    {
        put(host / name, text, mode);
        for (int i = 0; i < 2; i++)
            put(*there[i] / name, text, mode);
    }

    // The environment of every run, the same on the host and in a root but
    // for the home, each side's scratch directory: nothing of the host's
    // own configuration (~/.gitconfig) reaches either.
    static std::vector<std::string> run_env(const std::string &home,
                                            const std::vector<std::string> &extra)
    {
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + home};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    RunResult on_host(const std::vector<std::string> &argv, const std::vector<std::string> &extra)
    {
        std::vector<std::string> all = {"env", "-i"};
        std::vector<std::string> env = run_env(host.path, extra);
        all.insert(all.end(), env.begin(), env.end());
        all.insert(all.end(), argv.begin(), argv.end());
        RunOptions options;
        options.cwd = host.path;
        return run_process(all, options);
    }

    RunResult in_root(int i, const std::vector<std::string> &argv,
                      const std::vector<std::string> &extra)
    {
        RootRunOptions options;
        options.env = run_env(inside[i], extra);
        options.env.push_back("TEMP=" + inside[i] + "/temp");
        options.private_dev = true;
        options.cwd = inside[i];
        return run_in_root(test_root(example_roots[i]), argv, options);
    }

    // host_argv run directly on the host, then packed_argv in each root:
    // the same output, status 0 and nothing on standard error everywhere
    // (a helper that fails often leaves its caller's status alone and says
    // so there), and every work directory gone. Returns the host's output.
    std::string expect_same_as_host(const std::vector<std::string> &host_argv,
                                     const std::vector<std::string> &packed_argv,
                                     const std::vector<std::string> &extra_env = {},
                                     const std::vector<std::string> &host_only_env = {})
    {
        std::vector<std::string> host_env = extra_env;
        host_env.insert(host_env.end(), host_only_env.begin(), host_only_env.end());
        RunResult direct = on_host(host_argv, host_env);
        EXPECT_EQ(direct.exit_code, 0) << direct.err;
        EXPECT_EQ(direct.err, "");
        EXPECT_NE(direct.out, "");
        for (int i = 0; i < 2; i++) {
            RunResult packed = in_root(i, packed_argv, extra_env);
            EXPECT_EQ(packed.exit_code, 0) << example_roots[i] << ": " << packed.err;
            EXPECT_EQ(packed.err, "") << example_roots[i];
            EXPECT_EQ(packed.out, direct.out) << example_roots[i];
            EXPECT_EQ(list_dir(*there[i] / "temp"), std::vector<std::string>{})
                << example_roots[i] << ": a work directory was left";
        }
        return direct.out;
    }
};

TEST_F(AppExample, Python3WithItsStandardLibrary)
{
    pack_example("python3.run",
                 {"--bundle", "--libc", "/usr/bin/python3.11", "--add",
                  "/usr/lib/python3.11=lib/python3.11", "--exclude-path", "*/__pycache__",
                  "--exclude-path", "lib/python3.11/config-*", "--env", "PATH=$ORIGIN:${PATH}"});
    std::string out = expect_same_as_host({"/usr/bin/python3.11", "-c", python_script},
                                          {"./python3.run", "-c", python_script});
    EXPECT_EQ(out.rfind("OpenSSL 3", 0), 0u) << out;
    EXPECT_NE(out.find("\nopenssl_sha256 "), std::string::npos) << out;
    EXPECT_NE(out.find("\nlib/python3.11/json/__init__.py\n(3, 11) OpenSSL 3"), std::string::npos)
        << out;

    // The script rule: the helper's #!/usr/bin/env finds the packed
    // interpreter in bin/ through PATH, and so does the program, which then
    // needs nothing else to find its prefix. On the host the same helper, in
    // the same place, finds the host's python3.11 in the same way. The
    // standard library's streams come from this test's stream cache.
    make_dirs(host / "bin");
    put(host / "bin/hello", python_helper, 0755);
    pack_example("helper.run",
                 {"--bundle", "--libc", "/usr/bin/python3.11", "--add",
                  "/usr/lib/python3.11=lib/python3.11", "--exclude-path", "*/__pycache__",
                  "--exclude-path", "lib/python3.11/config-*", "--add",
                  "/usr/bin/python3.11=bin/python3.11", "--add", host / "bin/hello=bin/hello",
                  "--env", "PATH=$ORIGIN/bin:${PATH}"});
    const char start_helper[] = "import subprocess; subprocess.run(['hello'], check=True)";
    // env takes the last of two PATHs.
    std::string hello = expect_same_as_host(
        {"/usr/bin/python3.11", "-c", start_helper}, {"./helper.run", "-c", start_helper}, {},
        {"PATH=" + host.path + "/bin:/usr/bin:/bin"});
    EXPECT_EQ(hello.rfind("hello: 3.", 0), 0u) << hello;
    EXPECT_NE(hello.find("\nbin/python3.11 lib/python3.11/os.py\n"), std::string::npos) << hello;
}

TEST_F(AppExample, GitWithItsExecPathInitCommitLogAndClone)
{
    pack_example("git.run",
                 {"--bundle", "--libc", "/usr/bin/git", "--add",
                  "/usr/lib/git-core=libexec/git-core", "--add",
                  "/usr/share/git-core/templates=share/git-core/templates", "--env",
                  "GIT_EXEC_PATH=$ORIGIN/libexec/git-core", "--env",
                  "GIT_TEMPLATE_DIR=$ORIGIN/share/git-core/templates"});
    put_everywhere("steps.sh", git_steps);
    // Fixed names and dates make the same commits, hence the same hashes.
    std::string out = expect_same_as_host(
        {"sh", "steps.sh", "/usr/bin/git"}, {"sh", "steps.sh", "./git.run"},
        {"GIT_CONFIG_NOSYSTEM=1", "GIT_AUTHOR_NAME=A U Thor", "GIT_AUTHOR_EMAIL=author@example.org",
         "GIT_COMMITTER_NAME=C O Mitter", "GIT_COMMITTER_EMAIL=committer@example.org",
         "GIT_AUTHOR_DATE=2026-01-02T03:04:05+00:00",
         "GIT_COMMITTER_DATE=2026-01-02T03:04:05+00:00"});
    // The clone's description comes from the packed templates.
    const char tail[] =
        " greeting | 1 +\n 1 file changed, 1 insertion(+)\nhello\nUnnamed repository";
    EXPECT_NE(out.find(tail), std::string::npos) << out;
}

TEST_F(AppExample, PerlWithItsXsModules)
{
    pack_example("perl.run", {"--bundle", "--libc", "/usr/bin/perl", "--add",
                              "/usr/lib/x86_64-linux-gnu/perl-base=lib/perl-base", "--env",
                              "PERL5LIB=$ORIGIN/lib/perl-base"});
    std::vector<std::string> args = {"-MPOSIX", "-MList::Util=sum,max", "-MSocket", "-e",
                                     perl_line};
    std::vector<std::string> host_argv = {"/usr/bin/perl"}, packed_argv = {"./perl.run"};
    host_argv.insert(host_argv.end(), args.begin(), args.end());
    packed_argv.insert(packed_argv.end(), args.begin(), args.end());
    EXPECT_EQ(expect_same_as_host(host_argv, packed_argv), "55 9 -3 1971-01-01 127.0.0.1\n");
}

// What glibc reads by path at run time, carried as the README's table says:
// gconv modules (ELF objects that the packed glibc itself loads), time zones
// and terminal descriptions, each read by a program of the host's packed
// with --libc. Raw bytes out, so that no tool of the root's formats them.
const char host_data_steps[] = R"(set -e
printf 'h\303\251llo\n' | $1 -f UTF-8 -t ISO-8859-1
printf 'hello\n' | $1 -f UTF-8 -t UTF-16LE
TZ=Asia/Tokyo $2 -d @0 '+%F %T %Z'
TZ=America/New_York $2 -d @1700000000 '+%F %T %Z'
TERM=xterm-256color $3
)";

// The README's lines carry whole directories; here only what the steps
// read, to keep the test quick: gconv's configuration and two of its
// modules, two zones, the terminfo of one terminal.
TEST_F(AppExample, HostDataCarriedInTheTree)
{
    const std::string gconv = "/usr/lib/x86_64-linux-gnu/gconv/";
    pack_example("iconv.run",
                 {"--bundle", "--libc", "/usr/bin/iconv", "--add",
                  gconv + "gconv-modules=gconv/gconv-modules", "--add",
                  gconv + "ISO8859-1.so=gconv/ISO8859-1.so", "--add",
                  gconv + "UTF-16.so=gconv/UTF-16.so", "--env", "GCONV_PATH=$ORIGIN/gconv"});
    pack_example("date.run",
                 {"--bundle", "--libc", "/usr/bin/date", "--add",
                  "/usr/share/zoneinfo/Asia/Tokyo=zoneinfo/Asia/Tokyo", "--add",
                  "/usr/share/zoneinfo/America/New_York=zoneinfo/America/New_York", "--env",
                  "TZDIR=$ORIGIN/zoneinfo"});
    pack_example("clear.run",
                 {"--bundle", "--libc", "/usr/bin/clear", "--add",
                  "/lib/terminfo/x/xterm-256color=terminfo/x/xterm-256color", "--env",
                  "TERMINFO_DIRS=$ORIGIN/terminfo:${TERMINFO_DIRS}"});
    put_everywhere("steps.sh", host_data_steps);
    std::string out =
        expect_same_as_host({"sh", "steps.sh", "/usr/bin/iconv", "/usr/bin/date", "/usr/bin/clear"},
                            {"sh", "steps.sh", "./iconv.run", "./date.run", "./clear.run"});
    const std::string expected = "h\351llo\n" + std::string("h\0e\0l\0l\0o\0\n\0", 12) +
                                 "1970-01-01 09:00:00 JST\n2023-11-14 17:13:20 EST\n\033[";
    EXPECT_EQ(out.rfind(expected, 0), 0u) << out;
}

// Whether the tmux server whose pid the steps left in dir is gone; kills
// it if not, so that nothing outlives the test.
void expect_server_gone(const std::string &dir, const char *where)
{
    std::string text = read_text(dir + "/server.pid");
    ASSERT_NE(text, "") << where << ": no server pid";
    pid_t pid = (pid_t)std::stol(text);
    ASSERT_GT(pid, 1) << where;
    // kill-server returns once the server has its command, not once it has
    // exited.
    for (int tries = 0; tries < 100 && kill(pid, 0) == 0; tries++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (kill(pid, 0) == 0) {
        kill(pid, SIGKILL);
        ADD_FAILURE() << where << ": the tmux server " << pid << " outlived kill-server";
    } else {
        EXPECT_EQ(errno, ESRCH) << where;
    }
}

// tmux will not start without a UTF-8 locale: with none set, it takes
// C.UTF-8, which glibc 2.36 has only as locale data, and neither root has
// any. The packed C.UTF-8 and LOCPATH make it start there; without them the
// same tmux stops.
TEST_F(AppExample, TmuxWithAPackedLocale)
{
    pack_example("tmux.run", {"--bundle", "--libc", "/usr/bin/tmux", "--add",
                              "/usr/lib/locale/C.utf8=locale/C.utf8", "--env",
                              "LOCPATH=$ORIGIN/locale"});
    put_everywhere("steps.sh", tmux_steps);
    RunResult direct = on_host({"sh", "steps.sh", "/usr/bin/tmux"}, {});
    EXPECT_EQ(direct.exit_code, 0) << direct.err;
    EXPECT_EQ(direct.out, "work: 2 windows\n0 first\n1 second\n");
    expect_server_gone(host.path, "host");
    for (int i = 0; i < 2; i++) {
        RunResult packed = in_root(i, {"sh", "steps.sh", "./tmux.run"}, {});
        EXPECT_EQ(packed.exit_code, 0) << example_roots[i] << ": " << packed.err;
        EXPECT_EQ(packed.err, "") << example_roots[i];
        EXPECT_EQ(packed.out, direct.out) << example_roots[i];
        expect_server_gone(there[i]->path, example_roots[i]);
        EXPECT_EQ(list_dir(*there[i] / "temp"), std::vector<std::string>{}) << example_roots[i];
    }

    pack_example("bare-tmux.run", {"--bundle", "--libc", "/usr/bin/tmux"});
    for (int i = 0; i < 2; i++) {
        RunResult bare = in_root(i, {"./bare-tmux.run", "-S", inside[i] + "/bare", "new-session",
                                     "-d", "sleep 600"},
                                 {});
        if (bare.exit_code == 0)  // a server, which must not outlive the test
            in_root(i, {"./bare-tmux.run", "-S", inside[i] + "/bare", "kill-server"}, {});
        EXPECT_EQ(bare.exit_code, 1) << example_roots[i];
        EXPECT_EQ(bare.err, "tmux: need UTF-8 locale (LC_CTYPE) but have ANSI_X3.4-1968\n")
            << example_roots[i];
    }
}

}  // namespace
