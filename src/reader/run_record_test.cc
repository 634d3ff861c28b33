// End to end: the run record (--json) and the map (--karte) of korvfyll and
// korvlas, read back with Python's JSON and XML parsers, in real temp
// folders and on a fake card (as root).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr int kWrongDataStatus = 65;
constexpr int kRefusedStatus = 64;

// Reads a record line by line: every line must be a whole JSON object
// (ending in a line end) with a type and schema 1. Prints one summary line
// per record line; a line that does not parse ends the script with status 1.
constexpr char kRecordCheck[] = R"(
import json, sys
raw = open(sys.argv[1], 'rb').read()
assert raw.endswith(b'\n') or raw == b'', 'cut line'
for n, line in enumerate(raw.split(b'\n')[:-1]):
    o = json.loads(line)
    assert o['schema'] == 1, o
    t = o['type']
    if t == 'start':
        print('start', o['program'], o['folder'], o['fill'], o.get('run_tag_text', '-'),
              o['fs_type'] != '', o['fs_bytes'] > 0, o['free_bytes'] > 0,
              o['started'][4] + o['started'][-1], ' '.join(o['arguments']))
    elif t == 'file':
        s = o['seconds']
        assert s >= 0 and (o['mb_per_s'] is None) == (s == 0), o
        if s > 0:
            assert abs(o['mb_per_s'] - o['bytes'] / s / 1e6) < 0.01, o
        extra = ''
        if 'distinct' in o:
            extra = ' %d %s' % (o['distinct'], o['verdict'])
        if 'sectors' in o:
            extra += ' ' + ','.join(str(o['sectors'][k]) for k in
                ('ok', 'changed', 'corrupted', 'moved', 'stale', 'blank'))
            extra += ' %s' % o['first_bad_byte']
        print('file', o['index'], o['name'], o['bytes'], '%.2f' % s + extra)
    elif t == 'error':
        print('error', o['errno'], o['text'] != '', o['path'])
    elif t == 'end':
        extra = ''
        if 'sectors' in o:
            extra = ' ' + ','.join(str(o['sector_bytes'][k]) for k in
                ('ok', 'changed', 'corrupted', 'moved', 'stale', 'blank'))
            fb = o['first_bad']
            extra += ' ' + (fb['name'] + ' ' + str(fb['byte']) if fb else 'keiner')
        assert o['wall_seconds'] >= 0, o
        print('end', o['files'], o['bytes'], o['exit_status'], o['seconds'] >= 0,
              *([extra.strip()] if extra else []))
    else:
        raise SystemExit('unknown type ' + t)
)";

// Reads a map: it must be SVG without script; prints its title, the ids of
// its curves with their point counts, the classes of its band and the
// label of its mark.
constexpr char kMapCheck[] = R"(
import sys, xml.etree.ElementTree as ET
n = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == n + 'svg'
assert not [e for e in root.iter() if e.tag.endswith('script') or
            any(k.startswith('on') for k in e.attrib)]
print('title', root.find(n + 'title').text)
for p in root.iter(n + 'polyline'):
    print('curve', p.get('id'), len(p.get('points').split()))
print('band', ' '.join(sorted({r.get('class') for r in root.iter(n + 'rect')
                               if r.get('class') not in ('background', 'legende')})))
for g in root.iter(n + 'g'):
    if g.get('id') == 'erster-fehler':
        print('mark', g.find(n + 'text').text)
)";

std::string Name(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "N%07d.KVL", index);
  return name;
}

class RunRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kPython, X_OK) != 0) GTEST_SKIP() << "python3 is missing";
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    ASSERT_EQ(MakeFolder(home_), 0);
    data_ = root_ + "/daten";
  }
  void TearDown() override {
    RemoveFakeCard(&card_);
    if (!root_.empty()) RemoveTree(root_);
  }

  ProcessResult Run(const std::string& program,
                    const std::vector<std::string>& args,
                    int timeout_ms = 120000) {
    ProcessOptions options;
    options.timeout_ms = timeout_ms;
    return Run(program, args, options);
  }
  ProcessResult Run(const std::string& program,
                    const std::vector<std::string>& args,
                    ProcessOptions options) {
    options.cwd = root_;
    options.env.push_back({"HOME", home_});
    return RunProgram(BuiltProgram(program), args, options);
  }

  // Runs a check script over a file; its status must be 0.
  std::string Check(const char* script, const std::string& path) {
    ProcessResult r = RunProgram(kPython, {"-c", script, path},
                                 ProcessOptions());
    EXPECT_EQ(r.status, 0) << path << "\n" << r.output;
    return r.output;
  }

  std::string root_;
  std::string home_;
  std::string data_;
  FakeCard card_;
};

// The console's per-file end lines "N0000001.KVL ok   Dauer:00:00:00,05", in
// order: where each starts, the file's name and the hundredths it took.
struct OkLine {
  size_t at;
  std::string name;
  std::string hundredths;
};

std::vector<OkLine> OkLines(const std::string& console) {
  static const std::string kTail = " ok   Dauer:00:00:00,";
  const size_t name_size = Name(0).size();
  std::vector<OkLine> lines;
  for (size_t p = console.find(kTail); p != std::string::npos;
       p = console.find(kTail, p + 1)) {
    if (p < name_size || p + kTail.size() + 2 > console.size()) continue;
    const std::string name = console.substr(p - name_size, name_size);
    if (name[0] != 'N' || name.compare(8, 4, ".KVL") != 0) continue;
    lines.push_back({p - name_size, name, console.substr(p + kTail.size(), 2)});
  }
  return lines;
}

int IndexOf(const std::string& name) { return std::stoi(name.substr(1, 7)); }

// What the reader's console shows per file: name, bytes, distinct values
// and the verdict, as the record's file lines summarise them.
std::string ReaderFileLines(const std::string& console) {
  std::string lines;
  size_t previous = 0;
  for (const OkLine& ok : OkLines(console)) {
    const size_t counts = console.rfind("Anzahl:  ", ok.at);
    unsigned long long bytes = 0;
    int distinct = 0;
    if (counts == std::string::npos || counts < previous ||
        std::sscanf(console.c_str() + counts,
                    "Anzahl:  %llu - Verschiedene: %d  - ", &bytes,
                    &distinct) != 2) {
      continue;
    }
    previous = ok.at;
    const bool wrong =
        console.find("falsche Zeichen in Datei " + ok.name, counts) < ok.at;
    lines += "file " + std::to_string(IndexOf(ok.name)) + " " + ok.name + " " +
             std::to_string(bytes) + " 0." + ok.hundredths + " " +
             std::to_string(distinct) + (wrong ? " wrong" : " ok") + "\n";
  }
  return lines;
}

TEST_F(RunRecordTest, RecordsOfAFillAndACheckHoldWhatTheConsoleShows) {
  // Without and with the options: the console says the same.
  ASSERT_EQ(MakeFolder(data_), 0);
  ProcessResult plain = Run("korvfyll", {"10K", "A", "0", "4", "N", "daten"});
  ASSERT_EQ(plain.status, 0) << plain.output;
  ProcessResult w = Run("korvfyll", {"--json=w.jsonl", "--karte=w.svg", "10K",
                                     "A", "0", "4", "N", "daten"});
  ASSERT_EQ(w.status, 0) << w.output;
  EXPECT_EQ(NormalizeTranscript(w.output), NormalizeTranscript(plain.output));

  std::string expected =
      "start korvfyll " + root_ + "/daten byte - True True True -Z "
      "--json=w.jsonl --karte=w.svg 10K A 0 4 N daten\n";
  const std::vector<OkLine> written = OkLines(w.output);
  EXPECT_EQ(written.size(), 4u);
  for (const OkLine& ok : written) {
    expected += "file " + std::to_string(IndexOf(ok.name)) + " " + ok.name +
                " 10240 0." + ok.hundredths + "\n";
  }
  expected += "end 4 40960 0 True\n";
  EXPECT_EQ(Check(kRecordCheck, root_ + "/w.jsonl"), expected);
  // Files this small may be written within the clock's hundredth and then
  // have no speed to draw: the map must parse and name the run all the same.
  EXPECT_NE(Check(kMapCheck, root_ + "/w.svg").find("title korvfyll"),
            std::string::npos);

  // One wrong file: two byte values.
  ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(2),
                             std::string(5000, 'A') + std::string(5240, 'B')));
  plain = Run("korvlas", {"0", "4", "N", "daten"});
  EXPECT_EQ(plain.status, kWrongDataStatus) << plain.output;
  ProcessResult r = Run("korvlas", {"--json=r.jsonl", "0", "4", "N", "daten"});
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
  EXPECT_EQ(NormalizeTranscript(r.output), NormalizeTranscript(plain.output));
  const std::string file_lines = ReaderFileLines(r.output);
  EXPECT_NE(file_lines.find(" 2 wrong\n"), std::string::npos) << r.output;
  EXPECT_EQ(Check(kRecordCheck, root_ + "/r.jsonl"),
            "start korvlas " + root_ +
                "/daten None - True True True -Z --json=r.jsonl 0 4 N daten\n" +
                file_lines + "end 4 40960 65 True\n");

  // Standard error takes the record; standard output stays the console's.
  ProcessOptions options;
  options.cwd = root_;
  options.env.push_back({"HOME", home_});
  ProcessResult e = RunProgram(
      "/bin/sh",
      {"-c", BuiltProgram("korvlas") + " --json=- 0 4 N daten 2>e.jsonl"},
      options);
  EXPECT_EQ(e.status, kWrongDataStatus);
  EXPECT_EQ(NormalizeTranscript(e.output), NormalizeTranscript(plain.output));
  const std::string from_stderr = Check(kRecordCheck, root_ + "/e.jsonl");
  EXPECT_NE(from_stderr.find("end 4 40960 65 True"), std::string::npos)
      << from_stderr;
}

TEST_F(RunRecordTest, ErrorsAndRefusedOptionsAreRecordedOrRefused) {
  // A FIFO under a data file's name ends the fill with its error (looked
  // at, never opened: EEXIST); the record holds the error and an end with
  // its status.
  ASSERT_EQ(MakeFolder(data_), 0);
  ASSERT_EQ(mkfifo((data_ + "/" + Name(1)).c_str(), 0644), 0);
  ProcessResult w =
      Run("korvfyll", {"--json=f.jsonl", "1K", "A", "0", "3", "N", "daten"});
  ASSERT_EQ(w.status, EEXIST) << w.output;
  const std::string record = Check(kRecordCheck, root_ + "/f.jsonl");
  EXPECT_NE(record.find("file 0 N0000000.KVL 1024 "), std::string::npos);
  EXPECT_NE(record.find("error 17 True daten/" + Name(1) +
                        "\nend 1 1024 17 True\n"),
            std::string::npos)
      << record;

  struct Refused {
    const char* program;
    std::vector<std::string> args;
  };
  const Refused cases[] = {
      {"korvfyll", {"--json", "1K"}},
      {"korvfyll", {"--protokoll=5", "1K"}},
      {"korvfyll", {"--karte=a.svg", "--schreibbericht=w.jsonl", "1K"}},
      {"korvlas", {"--json=a", "--json=b", "0", "1"}},
      {"korvlas", {"--schreibbericht=w.jsonl", "0", "1"}},
  };
  for (const Refused& c : cases) {
    ProcessResult r = Run(c.program, c.args);
    EXPECT_EQ(r.status, kRefusedStatus) << c.args[0] << r.output;
    EXPECT_NE(r.output.find("Aufruf: Korv"), std::string::npos);
  }
  // A record that fills its disk is given up with its error line; the run
  // goes on and ends with that error instead of 0.
  std::string why;
  const std::string small = root_ + "/klein";
  ASSERT_EQ(MakeFolder(small), 0);
  if (MountTmpfs(small, 8192, &why)) {
    ProcessResult full = Run("korvfyll", {"--json=" + small + "/r.jsonl", "1",
                                          "A", "0", "200", "N", "voll"});
    Unmount(small);
    EXPECT_EQ(full.status, 28) << full.output;
    EXPECT_NE(full.output.find("E/A-Fehler 28 "), std::string::npos);
    EXPECT_NE(full.output.find("N0000199.KVL ok"), std::string::npos);
  } else {
    std::printf("full record disk skipped: %s\n", why.c_str());
  }
  // A record or map that cannot be created ends the run before any data
  // file is written.
  for (const char* option : {"--json=/kein/ordner/r.jsonl",
                             "--karte=/kein/ordner/k.svg"}) {
    ProcessResult r = Run("korvfyll", {option, "1K", "A", "0", "1", "N",
                                       "neu"});
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("E/A-Fehler 2 "), std::string::npos);
    EXPECT_EQ(r.output.find(" ok "), std::string::npos) << r.output;
    EXPECT_TRUE(ListFolder(root_ + "/neu").empty());
  }
}

TEST_F(RunRecordTest, AKilledRunLeavesOnlyWholeLines) {
  // Killed (SIGKILL) after a second among thousands of one-byte files.
  ProcessResult w = Run("korvfyll",
                        {"--json=k.jsonl", "1", "A", "0", "9000000", "N",
                         "daten"},
                        1000);
  EXPECT_TRUE(w.timed_out);
  const std::string record = Check(kRecordCheck, root_ + "/k.jsonl");
  EXPECT_EQ(record.rfind("start korvfyll ", 0), 0u) << record;
  EXPECT_NE(record.find("\nfile 1 N0000001.KVL 1 "), std::string::npos);
  EXPECT_EQ(record.find("\nend "), std::string::npos);
}

// Every name under a folder, with the bytes of its files: what a refused
// run must leave as it was.
std::string Snapshot(const std::string& folder) {
  std::string all;
  for (const std::string& name : ListFolder(folder)) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    all += path + "\n";
    if (S_ISDIR(st.st_mode)) {
      all += Snapshot(path);
    } else if (S_ISREG(st.st_mode)) {
      std::string data;
      ReadWholeFile(path, &data);
      all += data + "\n";
    }
  }
  return all;
}

TEST_F(RunRecordTest, ARecordOrMapOverAFileTheRunKeepsIsRefusedBeforeAnyWrite) {
  ASSERT_EQ(MakeFolder(data_), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(i), std::string(1024, 'A')));
  }
  ASSERT_EQ(symlink("daten", (root_ + "/verweis").c_str()), 0);
  // A writer's record, and one with two names.
  for (const char* name : {"/w.jsonl", "/eins.jsonl"}) {
    ASSERT_TRUE(WriteWholeFile(root_ + name, "{\"type\":\"start\"}\n"));
  }
  ASSERT_EQ(
      link((root_ + "/eins.jsonl").c_str(), (root_ + "/zwei.jsonl").c_str()),
      0);
  // The protocol folder, made by a run that keeps nothing.
  ASSERT_EQ(Run("korvlas", {"0", "1", "N", "daten", "0"}).status, 0);
  const std::string protocol_name = "korvlas_d20250101_t101010.txt";
  const std::string protocol = home_ + "/korvamel/" + protocol_name;
  struct Case {
    const char* program;
    std::vector<std::string> args;
    std::string line;  // the one line naming the clash; empty: runs
  };
  const Case cases[] = {
      {"korvlas",
       {"--json=daten/N0000001.KVL", "0", "3", "N", "daten", "0"},
       "--json ueberschriebe eine Datendatei: daten/N0000001.KVL"},
      {"korvfyll",
       {"--json=daten/N0000001.KVL", "64K", "PRUEF", "0", "3", "N", "daten",
        "0"},
       "--json ueberschriebe eine Datendatei: daten/N0000001.KVL"},
      // A name still to be made, by a path that only leads there.
      {"korvfyll",
       {"--karte=./daten/../daten/N0000007.KVL", "1K", "A", "0", "9", "N",
        "daten"},
       "--karte ueberschriebe eine Datendatei: ./daten/../daten/N0000007.KVL"},
      {"korvlas",
       {"--json=verweis/N0000002.KVL", "0", "3", "N", "daten"},
       "--json ueberschriebe eine Datendatei: verweis/N0000002.KVL"},
      {"korvlas",
       {"--json=" + protocol, "0", "3", "N", "daten", "5"},
       "--json ueberschriebe eine Protokolldatei: " + protocol},
      {"korvlas",
       {"--karte=w.jsonl", "--schreibbericht=w.jsonl", "0", "3", "N", "daten"},
       "--karte ueberschriebe den Schreibbericht: w.jsonl"},
      {"korvlas",
       {"--json=./w.jsonl", "--karte=k.svg", "--schreibbericht=w.jsonl", "0",
        "3", "N", "daten"},
       "--json ueberschriebe den Schreibbericht: ./w.jsonl"},
      {"korvlas",
       {"--json=zwei.jsonl", "--karte=k.svg", "--schreibbericht=eins.jsonl",
        "0", "3", "N", "daten"},
       "--json ueberschriebe den Schreibbericht: zwei.jsonl"},
      {"korvfyll",
       {"--json=x", "--karte=x", "1K", "A", "0", "3", "N", "daten"},
       "--karte ueberschriebe die Datei von --json: x"},
      {"korvlas",
       {"--json=eins.jsonl", "--karte=zwei.jsonl", "0", "3", "N", "daten"},
       "--karte ueberschriebe die Datei von --json: zwei.jsonl"},
      // What only looks like a clash runs: a name of another form, a
      // protocol's name when the run keeps none, a record beside the data.
      {"korvlas", {"--json=daten/N000001.KVL", "0", "3", "N", "daten"}, ""},
      {"korvlas", {"--json=" + protocol, "0", "3", "N", "daten", "0"}, ""},
      {"korvlas",
       {"--json=daten/r.jsonl", "--karte=daten/k.svg", "0", "3", "N", "daten"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const std::string before = Snapshot(root_);
    ProcessResult r = Run(c.program, c.args);
    if (c.line.empty()) {
      EXPECT_EQ(r.status, 0) << r.output;
      continue;
    }
    EXPECT_EQ(r.status, kRefusedStatus);
    const std::vector<std::string> lines = SplitLines(r.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.line) << r.output;
    EXPECT_EQ(r.output.find(c.line), r.output.size() - c.line.size() - 1);
    EXPECT_TRUE(Snapshot(root_) == before) << "something was written";
  }
}

// The names of the files in the record's file lines, and those the console
// shows as ok.
std::vector<std::string> RecordedNames(const std::string& record) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(record)) {
    if (line.rfind("file ", 0) != 0) continue;
    const size_t name = line.find(' ', 5) + 1;
    names.push_back(line.substr(name, line.find(' ', name) - name));
  }
  return names;
}

std::vector<std::string> OkNames(const std::string& console) {
  std::vector<std::string> names;
  for (const OkLine& ok : OkLines(console)) names.push_back(ok.name);
  return names;
}

TEST_F(RunRecordTest,
       EveryFileTheConsoleShowsIsInTheRecordBeforeAWaitOrASignal) {
  ASSERT_EQ(MakeFolder(data_), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(i), std::string(1024, 'A')));
  }
  ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(5),
                             std::string(512, 'A') + std::string(512, 'B')));
  struct Case {
    const char* what;
    const char* program;
    std::vector<std::string> args;
    ProcessOptions::Input input;
    std::string after;  // the signal follows this text
    int delay_ms;
    int signal;
    size_t at_least;  // files the record must hold
    int runs;
  };
  const Case cases[] = {
      // Waiting at the wrong file, killed: only what was written before the
      // wait is there.
      {"killed while waiting",
       "korvlas",
       {"--json=r.jsonl", "0", "6", "N", "daten", "5"},
       ProcessOptions::kPty,
       "ACHTUNG FEHLER",
       1000,
       SIGKILL,
       5,
       1},
      {"ended by SIGTERM while waiting",
       "korvlas",
       {"--json=r.jsonl", "0", "6", "N", "daten", "5"},
       ProcessOptions::kPty,
       "ACHTUNG FEHLER",
       1000,
       SIGTERM,
       5,
       1},
      // Amid thousands of one-byte files, whose lines are held in turns of
      // 10 ms. A signal that lands right after a turn's write finds none
      // held, so the case runs thrice.
      {"ended by SIGTERM amid tiny files",
       "korvfyll",
       {"--json=r.jsonl", "1", "A", "10", "9000000", "N", "daten"},
       ProcessOptions::kDevNull,
       "N0002000.KVL ok",
       0,
       SIGTERM,
       1991,
       3},
  };
  for (const Case& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      SCOPED_TRACE(c.what);
      ProcessOptions options;
      options.input = c.input;
      options.key_after = c.after;
      options.key_delay_ms = c.delay_ms;
      options.signal = c.signal;
      options.timeout_ms = 60000;
      ProcessResult r = Run(c.program, c.args, options);
      EXPECT_FALSE(r.timed_out);
      EXPECT_EQ(r.status, 128 + c.signal) << r.output;
      const std::vector<std::string> shown = OkNames(r.output);
      EXPECT_GE(shown.size(), c.at_least) << r.output;
      const std::string record = Check(kRecordCheck, root_ + "/r.jsonl");
      EXPECT_EQ(RecordedNames(record), shown) << record;
      EXPECT_EQ(record.find("\nend "), std::string::npos);
    }
  }
}

TEST_F(RunRecordTest, TheEndLineGivesTheRunsOwnTimeAndTheWallTimeBeside) {
  // A run waits 1.5 s at its deletion prompt: the closing line's duration
  // leaves that out, and so does the record's end line.
  constexpr char kEndTimes[] = R"(
import json, sys
for line in open(sys.argv[1]):
    o = json.loads(line)
    if o['type'] == 'end':
        print('%.2f %s' % (o['seconds'], o['wall_seconds'] >= 1.5))
)";
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* closing;
  };
  const Case cases[] = {
      {"korvfyll",
       {"--json=r.jsonl", "1K", "A", "0", "3", "J", "daten", "5"},
       "Korvfyll ist beendet.   Dauer:"},
      {"korvlas",
       {"--json=r.jsonl", "0", "3", "J", "daten", "5"},
       "Korvlas ist beendet.   Dauer:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    if (c.program == std::string("korvlas")) {
      MakeFolder(data_);  // the writer's deletion took it
      for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            WriteWholeFile(data_ + "/" + Name(i), std::string(1024, 'A')));
      }
    }
    ProcessOptions options;
    options.input = ProcessOptions::kPty;
    options.key_after = "zum Loeschen der Dateien >";
    options.key_delay_ms = 1500;
    options.key = " ";
    options.timeout_ms = 60000;
    ProcessResult r = Run(c.program, c.args, options);
    ASSERT_EQ(r.status, 0) << r.output;
    // "Dauer:00:00:01,23" as seconds with two decimals.
    const size_t at = r.output.find(c.closing);
    ASSERT_NE(at, std::string::npos) << r.output;
    ASSERT_TRUE(FitsShape(r.output, at + std::strlen(c.closing), "99:99:99,99"))
        << r.output;
    const std::string hms = r.output.substr(at + std::strlen(c.closing), 11);
    const int seconds = std::stoi(hms.substr(0, 2)) * 3600 +
                        std::stoi(hms.substr(3, 2)) * 60 +
                        std::stoi(hms.substr(6, 2));
    const std::string shown = std::to_string(seconds) + "." + hms.substr(9, 2);
    ProcessResult times = RunProgram(
        kPython, {"-c", kEndTimes, root_ + "/r.jsonl"}, ProcessOptions());
    EXPECT_EQ(times.output, shown + " True\n");
  }
}

// The counterfeit card of the stamped tests (64 MiB announced, 48 MiB
// real): the reader's map marks where the moved data starts, with the
// writer's curve beside its own.
TEST_F(RunRecordTest, TheMapOfAFakeCardMarksItsMovedRegion) {
  std::string why;
  if (!MakeFakeCard(root_, 64 << 20, 48 << 20, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  ProcessResult w = Run("korvfyll", {"--json=w.jsonl", "1M", "PRUEF", "0",
                                     "1000", "N", card_.mount_path});
  ASSERT_EQ(w.status, 0) << w.output;
  ASSERT_TRUE(RemountFakeCard(&card_, &why)) << why;
  ProcessResult r =
      Run("korvlas", {"--json=r.jsonl", "--karte=karte.svg",
                      "--schreibbericht=w.jsonl", "0", "1000", "N",
                      card_.mount_path});
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;

  // The totals line names the tag and the first bad place:
  // "Pruefmuster, Kennung <time> / <8 hex digits>: ... - erster Fehler:
  // N0000123.KVL Byte 4567".
  std::string tag, first_name, first_byte;
  for (size_t at = r.output.find("\nPruefmuster, Kennung ");
       at != std::string::npos && first_name.empty();
       at = r.output.find("\nPruefmuster, Kennung ", at + 1)) {
    const size_t start = at + 22;
    const size_t end = r.output.find('\n', start);
    const std::string line = r.output.substr(start, end - start);
    const size_t slash = line.find(" / ");
    const size_t first = line.find(" - erster Fehler: ");
    const size_t byte = line.find(" Byte ", first);
    if (slash == std::string::npos || first == std::string::npos ||
        byte == std::string::npos) {
      continue;
    }
    tag = line.substr(0, slash + 3 + 8);
    first_name = line.substr(first + 18, byte - first - 18);
    first_byte = line.substr(byte + 6);
  }
  ASSERT_FALSE(first_name.empty()) << r.output;
  ASSERT_EQ(first_name.size(), Name(0).size()) << r.output;
  ASSERT_EQ(first_byte.find_first_not_of("0123456789"), std::string::npos)
      << r.output;
  const std::string map = Check(kMapCheck, root_ + "/karte.svg");
  EXPECT_NE(map.find("title korvlas: Kennung " + tag + " auf /dev/loop"),
            std::string::npos)
      << map;
  EXPECT_NE(map.find("mark erster Fehler: " + first_name + " Byte " +
                     first_byte + "\n"),
            std::string::npos)
      << map;
  EXPECT_NE(map.find("band moved ok\n"), std::string::npos) << map;
  EXPECT_NE(map.find("curve schreiben "), std::string::npos) << map;
  EXPECT_NE(map.find("curve kurve "), std::string::npos) << map;
  const std::string record = Check(kRecordCheck, root_ + "/r.jsonl");
  const std::string first_bad = first_name + " " + first_byte + "\n";
  EXPECT_NE(record.find(" " + first_bad),
            std::string::npos)
      << record;
  // The documentation's picture is this one (KORV_KEEP_MAP=path keeps it).
  const char* keep = std::getenv("KORV_KEEP_MAP");
  if (keep != nullptr) {
    std::string svg;
    ReadWholeFile(root_ + "/karte.svg", &svg);
    WriteWholeFile(keep, svg);
  }
}

}  // namespace
}  // namespace korv
