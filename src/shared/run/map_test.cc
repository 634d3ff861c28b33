#include "shared/run/map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testing/test_process.h"

namespace korv {
namespace {

TEST(MapTest, TenMillionFilesAreBucketedToAFewThousandPoints) {
  MapReset();
  for (int64_t i = 0; i < 10000000; ++i) {
    MapAddFile(kMapRun, 1000, 0.01, nullptr);
    if (i == 0 || i == 999 || i == 5000000) {
      EXPECT_LE(MapPointCount(kMapRun), kMapBuckets);
    }
  }
  EXPECT_LE(MapPointCount(kMapRun), kMapBuckets);
  EXPECT_GE(MapPointCount(kMapRun), kMapBuckets / 2);
  EXPECT_EQ(MapPosition(kMapRun), INT64_C(10000000000));
  EXPECT_EQ(MapPointCount(kMapWriteReport), 0);
  MapReset();
}

TEST(MapTest, ThePictureIsWellFormedXmlWithItsBandAndMark) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is missing";
  MapReset();
  const int64_t ok[6] = {1 << 20, 0, 0, 0, 0, 0};
  const int64_t mixed[6] = {1 << 19, 0, 0, 1 << 19, 0, 0};
  for (int i = 0; i < 40; ++i) {
    MapAddFile(kMapRun, 1 << 20, 0.02 + i * 0.001, i < 30 ? ok : mixed);
    MapAddFile(kMapWriteReport, 1 << 20, 0.05, nullptr);
  }
  MapMarkFirstBad(30 << 20, "erster Fehler: N0000030.KVL Byte 0");
  MapTexts texts;
  // Markup characters, a control and bytes that are no UTF-8 in a folder.
  texts.title = "korvlas: Kennung 08.12.2026 05:31:58 / 4f279b7b auf /dev/loop3";
  texts.subtitle = "Ordner /tmp/a&b<c>\"d\x01\xff\xc3\xa4";
  texts.run_label = "Lesen";
  const std::string svg = MapSvg(texts);
  const std::string dir = MakeTempFolder();
  ASSERT_TRUE(WriteWholeFile(dir + "/karte.svg", svg));
  ProcessResult r = RunProgram(
      "/usr/bin/python3",
      {"-c",
       "import sys, xml.etree.ElementTree as ET\n"
       "n='{http://www.w3.org/2000/svg}'\n"
       "root=ET.parse(sys.argv[1]).getroot()\n"
       "assert root.tag==n+'svg'\n"
       "assert not root.findall('.//'+n+'script')\n"
       "texts=[t.text for t in root.iter(n+'text')]\n"
       "print('titel' ,texts[0])\n"
       "print('ordner', texts[1])\n"
       "for c in ('ok','moved','changed'):\n"
       "  print(c, len([e for e in root.iter(n+'rect') if e.get('class')==c]))\n"
       "m=[g for g in root.iter(n+'g') if g.get('id')=='erster-fehler']\n"
       "print('marke', m[0].find(n+'text').text)\n"
       "print('kurven', sorted(p.get('id') for p in root.iter(n+'polyline')))\n"
       "print('punkte', len(root.find(n+'polyline[@id=\"kurve\"]').get('points').split()))\n",
       dir + "/karte.svg"},
      ProcessOptions());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output,
            "titel korvlas: Kennung 08.12.2026 05:31:58 / 4f279b7b auf "
            "/dev/loop3\n"
            "ordner Ordner /tmp/a&b<c>\"d??\xc3\xa4\n"
            // the 30 good files as one piece, the mixed ones as two parts
            // each; "ok" counts the legend's too
            "ok 11\n"
            "moved 10\n"
            "changed 0\n"
            "marke erster Fehler: N0000030.KVL Byte 0\n"
            "kurven ['kurve', 'schreiben']\n"
            "punkte 40\n");
  RemoveTree(dir);
  MapReset();
}

}  // namespace
}  // namespace korv
