// The cell file: rows as the databases publish them (quoted fields, CRLF,
// empty fields where they may be empty, other radios), errors that name the
// line, and the simulated network's plan written and read back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "refhost/cells/CellSites.h"
#include "refhost/output/OutputFile.h"
#include "refhost/sim/SimFiles.h"

namespace {

const std::string Header =
    "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal";

class CellFile : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("orvik-cells-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (Dir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::filesystem::path Dir;
};

}  // namespace

TEST_F(CellFile, ReadsRowsAsPublished) {
  // CRLF ends, a quoted radio, an empty unit and averageSignal, a UMTS cell
  // id beyond 16 bits and an LTE row: all kept, GSM matched.
  const std::string path = Write(
      "cells.csv", Header + "\r\n" +
                       "\"GSM\",262,2,11010,1037,,13.405123,52.520008,1200,37,1,1459692742,1700000000,\r\n"
                       "UMTS,262,2,11010,26410023,12,13.41,52.52,2000,5,1,1459692742,1459692742,-85\r\n"
                       "LTE,262,1,1100,45678901,301,13.39,52.51,1000,3,1,1459692742,1459692742,0\r\n"
                       "GSM,1,1,5,7,0,-0.5,-33.25,0,1,1,0,0,0\r\n");
  const TCellSites sites = TCellSites::Read(path);
  ASSERT_EQ(sites.All().size(), 4u);
  const TCellSite* gsm = sites.Find({262, 2, 11010, 1037, true});
  ASSERT_NE(gsm, nullptr);
  EXPECT_EQ(gsm->Radio, "GSM");
  EXPECT_DOUBLE_EQ(gsm->Longitude, 13.405123);
  EXPECT_DOUBLE_EQ(gsm->Latitude, 52.520008);
  EXPECT_EQ(gsm->RangeM, 1200);
  EXPECT_EQ(gsm->Samples, 37);
  EXPECT_EQ(gsm->UpdatedUnix, 1700000000);
  ASSERT_NE(sites.Find({1, 1, 5, 7, true}), nullptr);
  EXPECT_DOUBLE_EQ(sites.Find({1, 1, 5, 7, true})->Latitude, -33.25);
  EXPECT_EQ(sites.All()[1].Radio, "UMTS");
  EXPECT_FALSE(sites.All()[1].Key.Valid);
  EXPECT_EQ(sites.Find({262, 2, 11010, 26410023 & 0xFFFF, true}), nullptr);
}

TEST_F(CellFile, ErrorsNameTheLine) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Said;  // every piece must be in the message
  };
  const std::string gsm = "GSM,262,2,11010,1037,0,13.4,52.5,1000,1,1,0,0,0\n";
  const std::vector<TCase> cases{
      {"not the layout", "cell,lat,lon\n" + gsm, {"line 1", "header", Header}},
      {"a column missing", "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated\n",
       {"line 1", "header"}},
      {"mcc not a number", Header + "\n" + gsm + "GSM,2x6,2,11010,1037,0,13.4,52.5,1000,1,1,0,0,0\n",
       {"line 3", "mcc \"2x6\" is not a number"}},
      {"lat empty", Header + "\n" + "GSM,262,2,11010,1037,0,13.4,,1000,1,1,0,0,0\n", {"line 2", "lat is empty"}},
      {"a field short", Header + "\n" + "GSM,262,2,11010,1037,0,13.4,52.5,1000,1,1,0,0\n",
       {"line 2", "13 fields"}},
      {"GSM cell beyond 16 bits", Header + "\n" + "GSM,262,2,11010,70000,0,13.4,52.5,1000,1,1,0,0,0\n",
       {"line 2", "out of range"}},
      {"not on earth", Header + "\n" + "GSM,262,2,11010,1037,0,13.4,95,1000,1,1,0,0,0\n",
       {"line 2", "not a place on earth"}},
      // A quoted radio over two lines: the bad row after it is on line 4.
      {"after a row of two lines", Header + "\n\"GS\nM\",262,2,1,1,0,1,1,1,1,1,0,0,0\n" +
                                       "GSM,262,2,11010,1037,0,13.4,52.5,1000,1,1,0,0,x\n",
       {"line 4", "averageSignal \"x\""}},
      {"a quote never closed", Header + "\n" + "\"GSM,262,2,11010,1037,0,13.4,52.5,1000,1,1,0,0,0\n",
       {"line 2", "never closed"}},
      {"empty", "", {"is empty", Header}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = Write("bad.csv", c.Text);
    try {
      TCellSites::Read(path);
      ADD_FAILURE() << "read without an error";
    } catch (const std::runtime_error& e) {
      const std::string said = e.what();
      EXPECT_NE(said.find(path), std::string::npos) << said;
      for (const std::string& piece : c.Said) EXPECT_NE(said.find(piece), std::string::npos) << said;
    }
  }
  EXPECT_THROW(TCellSites::Read((Dir / "missing.csv").string()), std::runtime_error);
}

// The plan written over an older, longer file reads back the same, also by
// Python's csv module; a full disk is an error, not a short file.
TEST_F(CellFile, PlanWrittenReadsBack) {
  const std::vector<TCellSite> plan = SimulatedCellPlan(TSimulatedDrive(7316), 1796720400);
  ASSERT_GT(plan.size(), 10u);
  const std::string path = Write("plan.csv", std::string(100000, 'x'));
  WriteCellSites(path, plan);
  const TCellSites back = TCellSites::Read(path);
  ASSERT_EQ(back.All().size(), plan.size());
  for (const TCellSite& s : plan) {
    const TCellSite* b = back.Find(s.Key);
    ASSERT_NE(b, nullptr) << s.Key.Lac << "-" << s.Key.CellId;
    EXPECT_NEAR(b->Longitude, s.Longitude, 1e-6);
    EXPECT_NEAR(b->Latitude, s.Latitude, 1e-6);
    EXPECT_EQ(b->RangeM, s.RangeM);
    EXPECT_GT(b->RangeM, 0);
    EXPECT_EQ(b->CreatedUnix, 1796720400);
  }
  const std::string check =
      "python3 -c \"import csv,sys; r=list(csv.DictReader(open(sys.argv[1], newline=''))); "
      "assert len(r)==" + std::to_string(plan.size()) +
      " and all(x['radio']=='GSM' and x['mcc']=='1' and x['net']=='1' and x['averageSignal']=='0' for x in r)\" " + path;
  EXPECT_EQ(std::system(check.c_str()), 0);
  EXPECT_THROW(WriteCellSites("/dev/full", plan), EOutputWrite);
}
