#include "shared/run/record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_process.h"

namespace korv {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

// Runs a Python check with a file as its argument.
ProcessResult RunPython(const std::string& script, const std::string& path) {
  return RunProgram(kPython, {"-c", script, path}, ProcessOptions());
}

TEST(RecordTest, EveryByteIsEscapedSoThatAJsonParserReadsItBack) {
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << "python3 is missing";
  // Each byte alone (a lone byte from 0x80 up is no UTF-8), then valid
  // UTF-8 of every length, then sequences that only look like it.
  std::vector<std::string> texts;
  for (int b = 0; b < 256; ++b) texts.push_back(std::string(1, static_cast<char>(b)));
  texts.push_back("K\xc3\xa4se \xe2\x82\xac \xf0\x9f\x92\xbe");  // Käse € 💾
  texts.push_back("\xc0\xaf");          // overlong "/"
  texts.push_back("\xed\xa0\x80");      // a surrogate
  texts.push_back("\xf4\x90\x80\x80");  // past U+10FFFF
  texts.push_back("\xe2\x82");          // cut short
  std::string line = "[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) line += ',';
    AppendJsonString(&line, texts[i]);
  }
  line += "]\n";
  for (char c : line) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u == '\n') continue;
    EXPECT_TRUE(u >= 0x20 && u != 0x7F) << static_cast<int>(u);
  }
  const std::string dir = MakeTempFolder();
  const std::string path = dir + "/line.json";
  ASSERT_TRUE(WriteWholeFile(path, line));
  // Every lone byte reads back as the code point of its value, valid UTF-8
  // as itself, and every invalid byte as its own value.
  ProcessResult r = RunPython(
      "import json,sys\n"
      "raw=open(sys.argv[1],'rb').read()\n"
      "raw.decode('utf-8')\n"
      "a=json.loads(raw)\n"
      "assert [ord(s) for s in a[:256]]==list(range(256)), a[:256]\n"
      "assert a[256]=='K\\u00e4se \\u20ac \\U0001f4be', a[256]\n"
      "for s,b in zip(a[257:],[b'\\xc0\\xaf',b'\\xed\\xa0\\x80',"
      "b'\\xf4\\x90\\x80\\x80',b'\\xe2\\x82']):\n"
      "  assert s.encode('latin-1')==b, (s,b)\n"
      "print('parsed', len(a))\n",
      path);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "parsed 261\n");
  RemoveTree(dir);
}

TEST(RecordTest, InstantsAreIsoTextsInUtc) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {1796737453, "2026-12-08T13:44:13Z"},
      {4107542399, "2100-02-28T23:59:59Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(IsoUtcText(c.seconds), c.text);
}

TEST(RecordTest, OptionsStandBeforeThePositionalArguments) {
  struct Case {
    std::vector<const char*> args;
    bool reader;
    int taken;  // -1: refused
  };
  const Case cases[] = {
      {{"1M", "A"}, false, 0},
      {{"--json=r.jsonl", "1M"}, false, 1},
      {{"--json=-", "--karte=k.svg", "0", "5"}, true, 2},
      {{"--karte=k.svg", "--schreibbericht=w.jsonl", "--json=r"}, true, 3},
      {{"--schreibbericht=w.jsonl"}, true, -1},    // nothing to draw it in
      {{"--schreibbericht=w.jsonl", "--karte=k"}, false, -1},  // reader's
      {{"--json"}, false, -1},
      {{"--json="}, false, -1},
      {{"--json=a", "--json=b"}, false, -1},
      {{"--karte=-"}, false, -1},
      {{"--Json=a"}, false, -1},
      {{"--"}, true, -1},
      {{"--hilfe=x"}, true, -1},
      {{"1M", "--json=a"}, false, 0},  // after a positional one: a value
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(TakeRunOptions(static_cast<int>(argv.size()), argv.data(),
                             c.reader),
              c.taken)
        << argv[1];
  }
  TEST_ResetRunRecord();
}

}  // namespace
}  // namespace korv
