// Packing and running launchers from tests, for each target.
#ifndef SFXLAUNCH_TESTS_SFX_H
#define SFXLAUNCH_TESTS_SFX_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "process.h"

extern const char *const all_targets[2];

std::string sfxpack_path();
// A test program built for target: probe (needs libprobe.so beside it).
// data as the packer compresses it: an LZMA-Alone stream at the default level.
std::string compressed(const std::string &data);

std::string fixture_path(const std::string &target, const std::string &name);

// Runs sfxpack with the arguments as given.
RunResult run_sfxpack(const std::vector<std::string> &args);

// Packs files (sfxpack arguments after -o) into dir/name for target; fails
// the test when packing fails.
std::string pack(const std::string &target, const std::string &output,
                 const std::vector<std::string> &args);

// The probe program and its library, packed into scratch/launcher.
std::string pack_probe(const std::string &target, const ScratchDir &scratch,
                       const std::vector<std::string> &extra = {});

// Runs a launcher with TEMP pointing at temp, so that each test sees only
// its own work directories.
RunResult run_launcher(const std::string &launcher,
                       const std::vector<std::string> &args,
                       const std::string &temp, RunOptions options = RunOptions());

// Standard error less the lines that qemu adds when an emulated i386 program
// dies of a signal.
std::string without_emulator_notes(const std::string &err);

// One test case per target.
class TargetTest : public ::testing::TestWithParam<std::string> {
protected:
    const std::string &target() const { return GetParam(); }
};

#define INSTANTIATE_FOR_TARGETS(suite)                                      \
    INSTANTIATE_TEST_SUITE_P(Targets, suite,                                \
                             ::testing::Values("x86_64", "i386"),           \
                             [](const auto &info) { return info.param; })

#endif
