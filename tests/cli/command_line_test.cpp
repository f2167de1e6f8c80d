#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel::cli {
namespace {

ParseResult Parse(std::vector<std::string> args) {
  return ParseCommandLine(args);
}

TEST(CommandLine, DefaultsAreTheProgramsStartValues) {
  const ParseResult r = Parse({"MetopB_1.bin"});
  ASSERT_TRUE(r.ok) << r.error;
  const Settings& s = r.command.settings;
  EXPECT_EQ(r.command.inputs, std::vector<std::string>{"MetopB_1.bin"});
  EXPECT_EQ(r.command.work_dir, "");
  EXPECT_EQ(r.command.output_dir, "");
  EXPECT_FALSE(s.PNdecoding);
  EXPECT_TRUE(s.RSolomon);
  EXPECT_FALSE(s.Manchester_box);
  EXPECT_FALSE(s.APID104);
  EXPECT_EQ(s.VCID_Metop.Value(), 9);
  EXPECT_EQ(s.MPDU_header.Value(), 4);
  EXPECT_EQ(s.MaxPkLen.Value(), 12966);
  EXPECT_EQ(s.Fy3Vcid, 5);
  EXPECT_TRUE(s.DFiles);
  EXPECT_FALSE(r.command.quiet);
  EXPECT_EQ(s.Satellite, "");
  EXPECT_EQ(s.PassDate, "");
  EXPECT_EQ(s.InputKind, "");
}

TEST(CommandLine, InputKind) {
  for (const char* kind : {"hard", "soft", "baseband"}) {
    const ParseResult r = Parse({"MetopB_1.raw", "--input", kind});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.command.settings.InputKind, kind);
  }
  EXPECT_EQ(Parse({"MetopB_1.raw", "--input=soft"}).command.settings.InputKind, "soft");
}

TEST(CommandLine, BasebandOptions) {
  ParseResult r = Parse({"MetopB_1.raw"});
  EXPECT_EQ(r.command.settings.SampleRate, 0);  // the WAV header's
  EXPECT_EQ(r.command.settings.BasebandFormat, "");
  EXPECT_EQ(r.command.settings.CarrierRangeHz, 60000);
  r = Parse({"MetopB_1.raw", "--input", "baseband", "--samplerate=6000000", "--baseband-format",
             "cu8", "--carrier-range", "100"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.settings.SampleRate, 6000000);
  EXPECT_EQ(r.command.settings.BasebandFormat, "cu8");
  EXPECT_EQ(r.command.settings.CarrierRangeHz, 100000);
}

TEST(CommandLine, SatelliteAndDate) {
  for (const char* name : {"metop-a", "metop-b", "metop-c", "fy3a", "fy3b", "fy3c", "meteor-m2",
                           "meteor-m2-2", "meteor-m2-3", "meteor-m2-4", "auto"}) {
    const ParseResult r = Parse({"pass.bin", "--satellite", name});
    ASSERT_TRUE(r.ok) << name << ": " << r.error;
    EXPECT_EQ(r.command.settings.Satellite, name);
  }
  ParseResult r = Parse({"pass.bin", "--satellite=fy3b", "--date=2026-12-09", "DR_y"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.settings.PassDate, "2026-12-09");
  EXPECT_TRUE(r.command.settings.PNdecoding);
  for (std::vector<std::string> bad :
       std::vector<std::vector<std::string>>{{"pass.bin", "--satellite", "MetOp-B"},
                                             {"pass.bin", "--satellite", "meteor-m2-5"},
                                             {"pass.bin", "--satellite"},
                                             {"pass.bin", "--date", "2026-02-30"},
                                             {"pass.bin", "--date", "2026-12-9"},
                                             {"pass.bin", "--date", "09.12.2026"}}) {
    r = Parse(bad);
    EXPECT_FALSE(r.ok) << bad[2];
    EXPECT_EQ(r.error.rfind(bad[1], 0), 0u) << r.error;
  }
}

TEST(CommandLine, PositionalSwitchesActByPositionExactly) {
  ParseResult r = Parse({"MetopB_1.bin", "DR_y", "RS_n", "MN_y", "MET_n"});
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.command.settings.PNdecoding);
  EXPECT_FALSE(r.command.settings.RSolomon);
  EXPECT_TRUE(r.command.settings.Manchester_box);
  EXPECT_TRUE(r.command.settings.APID104);
  EXPECT_TRUE(r.command.warnings.empty());

  // Lower case, or a switch in the wrong position, changes nothing and is reported.
  r = Parse({"MetopB_1.bin", "dr_y", "DR_y", "MN_x", "MET_y"});
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.command.settings.PNdecoding);
  EXPECT_TRUE(r.command.settings.RSolomon);
  EXPECT_FALSE(r.command.settings.Manchester_box);
  EXPECT_FALSE(r.command.settings.APID104);
  ASSERT_EQ(r.command.warnings.size(), 4u);
  EXPECT_EQ(r.command.warnings[0],
            "parameter 2 'dr_y' is not DR_y or DR_n: setting left unchanged");
}

// After the first input, a parameter with a satellite marker is one more input; the others are
// the switches, numbered from 2 whatever the number of inputs before, between or after them.
TEST(CommandLine, SeveralInputsAndTheSwitchesAmongThem) {
  ParseResult r = Parse({"pass.bin", "a/MetopA_1.bin", "DR_y", "FY3C_2019-01-01_1.bin", "RS_n",
                         "/data/MN2_archive/x.bin", "MN_y", "MET_n"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.inputs,
            (std::vector<std::string>{"pass.bin", "a/MetopA_1.bin", "FY3C_2019-01-01_1.bin",
                                      "/data/MN2_archive/x.bin"}));
  EXPECT_TRUE(r.command.settings.PNdecoding);
  EXPECT_FALSE(r.command.settings.RSolomon);
  EXPECT_TRUE(r.command.settings.Manchester_box);
  EXPECT_TRUE(r.command.settings.APID104);
  EXPECT_TRUE(r.command.warnings.empty());

  // A name without marker after the first is a switch, reported as one.
  r = Parse({"MetopB_1.bin", "MetopB_2.bin", "pass.bin"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.command.inputs.size(), 2u);
  ASSERT_EQ(r.command.warnings.size(), 1u);
  EXPECT_EQ(r.command.warnings[0],
            "parameter 2 'pass.bin' is not DR_y or DR_n: setting left unchanged");
}

TEST(CommandLine, WorkingAndOutputFolders) {
  ParseResult r = Parse({"-C", "work", "x.bin", "--output-dir", "out"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.work_dir, "work");
  EXPECT_EQ(r.command.output_dir, "out");
  r = Parse({"--work-dir=/tmp/w 1", "--output-dir=/srv/products", "x.bin"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.work_dir, "/tmp/w 1");
  EXPECT_EQ(r.command.output_dir, "/srv/products");
}

TEST(CommandLine, OptionsWinOverSwitchesInAnyOrder) {
  ParseResult r = Parse({"--no-rs", "MetopB_1.bin", "DR_y", "RS_y", "--no-derandomize",
                         "--apid=103", "MN_y", "MET_n", "--no-manchester"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_FALSE(r.command.settings.PNdecoding);
  EXPECT_FALSE(r.command.settings.RSolomon);
  EXPECT_FALSE(r.command.settings.Manchester_box);
  EXPECT_FALSE(r.command.settings.APID104);

  r = Parse({"x.bin", "--derandomize", "--rs", "--manchester", "--apid", "104"});
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.command.settings.PNdecoding);
  EXPECT_TRUE(r.command.settings.RSolomon);
  EXPECT_TRUE(r.command.settings.Manchester_box);
  EXPECT_TRUE(r.command.settings.APID104);
}

TEST(CommandLine, EverySettingHasAnOption) {
  const ParseResult r =
      Parse({"x.bin", "--vcid", "10", "--fy3-channel=3", "--mpdu-header", "2",
             "--max-packet-length", "12999", "--keep-files", "--full-cadu", "--get-vcdu",
             "--get-apid", "--fy3-asm", "--keep-uncorrectable", "-q"});
  ASSERT_TRUE(r.ok) << r.error;
  const Settings& s = r.command.settings;
  EXPECT_EQ(s.VCID_Metop.Value(), 10);
  EXPECT_EQ(s.Fy3Vcid, 3);
  EXPECT_EQ(s.MPDU_header.Value(), 2);
  EXPECT_EQ(s.MaxPkLen.Value(), 12999);
  EXPECT_FALSE(s.DFiles);
  EXPECT_TRUE(s.Full_CADU);
  EXPECT_TRUE(s.GetVCDU);
  EXPECT_TRUE(s.GetAPID);
  EXPECT_TRUE(s.FY3ASM);
  EXPECT_TRUE(s.KeepUncorrectable);
  EXPECT_TRUE(r.command.quiet);
  EXPECT_FALSE(Parse({"x.bin"}).command.settings.KeepUncorrectable);
}

TEST(CommandLine, PreviewAndItsChannel) {
  ParseResult r = Parse({"x.bin"});
  EXPECT_FALSE(r.command.preview);
  r = Parse({"x.bin", "--preview"});
  EXPECT_TRUE(r.command.preview);
  EXPECT_EQ(r.command.preview_channel, 0);      // the instrument's default
  r = Parse({"x.bin", "--preview-channel=3"});  // a channel asks for the preview too
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.command.preview);
  EXPECT_EQ(r.command.preview_channel, 3);
}

TEST(CommandLine, UsageErrorsGiveAOneLineReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no input file given"},
      {{"--rs"}, "no input file given"},
      {{"x.bin", "--bogus"}, "unknown option '--bogus'"},
      {{"x.bin", "--apid", "105"}, "--apid takes 103 or 104, not '105'"},
      {{"x.bin", "--apid"}, "--apid needs a value"},
      {{"x.bin", "--vcid", "64"}, "--vcid takes a whole number from 0 to 63, not '64'"},
      {{"x.bin", "--vcid", "9a"}, "--vcid takes a whole number from 0 to 63, not '9a'"},
      {{"x.bin", "--max-packet-length", "13000"},
       "--max-packet-length takes a whole number from 7 to 12999, not '13000'"},
      {{"x.bin", "--max-packet-length=6"},
       "--max-packet-length takes a whole number from 7 to 12999, not '6'"},
      {{"x.bin", "--mpdu-header", "3"}, "--mpdu-header takes 2 or 4, not '3'"},
      {{"x.bin", "--fy3-channel", "4"}, "--fy3-channel takes 5, 9 or 3, not '4'"},
      {{"x.bin", "--input", "iq"}, "--input takes hard, soft or baseband, not 'iq'"},
      {{"x.bin", "--samplerate", "6e6"},
       "--samplerate takes a whole number from 100000 to 200000000, not '6e6'"},
      {{"x.bin", "--samplerate", "0"},
       "--samplerate takes a whole number from 100000 to 200000000, not '0'"},
      {{"x.bin", "--baseband-format", "s16"},
       "--baseband-format takes wav, cs16, cs8, cu8 or cf32, not 's16'"},
      {{"x.bin", "--carrier-range", "0"},
       "--carrier-range takes a whole number from 1 to 500, not '0'"},
      {{"x.bin", "--rs=1"}, "--rs takes no value"},
      {{"x.bin", "--preview=1"}, "--preview takes no value"},
      {{"x.bin", "--preview-channel", "0"},
       "--preview-channel takes a whole number from 1 to 10, not '0'"},
      {{"x.bin", "--preview-channel", "11"},
       "--preview-channel takes a whole number from 1 to 10, not '11'"},
      {{"a", "b", "c", "d", "e", "f"}, "too many parameters: 'f'"},
      {{"MetopB_1.bin", "MetopB_2.bin", "b", "c", "d", "e", "f"}, "too many parameters: 'f'"},
      {{"x.bin", "-C"}, "-C needs a value"},
      {{"x.bin", "--work-dir="}, "--work-dir needs a folder"},
      {{"x.bin", "--output-dir", ""}, "--output-dir needs a folder"},
  };
  for (const auto& [args, reason] : cases) {
    const ParseResult r = Parse(args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, reason);
  }
}

TEST(CommandLine, HelpVersionAndDashDash) {
  EXPECT_EQ(Parse({"--help"}).command.action, Command::Action::Help);
  EXPECT_EQ(Parse({"x.bin", "-h"}).command.action, Command::Action::Help);
  EXPECT_EQ(Parse({"--version"}).command.action, Command::Action::Version);
  const ParseResult r = Parse({"--", "-odd-name_MetopA_.bin"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.command.inputs, std::vector<std::string>{"-odd-name_MetopA_.bin"});
}

TEST(CommandLine, InputIsRelativeToTheCurrentFolderUnlessAbsolute) {
  EXPECT_EQ(ResolveInput("MetopB_1.bin", "/data/passes"), "/data/passes/MetopB_1.bin");
  EXPECT_EQ(ResolveInput("sub/MetopB_1.bin", "/data"), "/data/sub/MetopB_1.bin");
  EXPECT_EQ(ResolveInput("/abs/MetopB_1.bin", "/data"), "/abs/MetopB_1.bin");
}

}  // namespace
}  // namespace vantrel::cli
