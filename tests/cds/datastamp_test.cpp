// Datastamp file control: the texts written, the forms parsed back, the
// weight clamp and the open failures, on a scratch directory of plain files.
#include "cds_test_util.h"
#include "kep_vc.h"

#include <gtest/gtest.h>

using cdstest::Capture;
using cdstest::read_file;
using cdstest::ScratchDir;
using cdstest::write_file;

namespace {

TEST(CdsSetters, PositionWritesStartAndDimensionInHex)
{
    ScratchDir dir;
    const int32_t start[2] = {16, 32}, dim[2] = {4, 1};
    EXPECT_EQ(kep_cds_set_position(dir.c_str(), start, dim), 0);
    EXPECT_EQ(read_file(dir.file("ds_position")), "0x10 0x20");
    EXPECT_EQ(read_file(dir.file("ds_dimension")), "0x4 0x1");
}

TEST(CdsSetters, ColorWritesBothColoursInDecimal)
{
    ScratchDir dir;
    const int32_t fg[3] = {255, 128, 128}, bg[3] = {0, 128, 128};
    EXPECT_EQ(kep_cds_set_color(dir.c_str(), fg, bg), 0);
    EXPECT_EQ(read_file(dir.file("ds_color")), "255 128 128 0 128 128");
}

TEST(CdsSetters, ScaleEnableAndRawDatastampTexts)
{
    ScratchDir dir;
    EXPECT_EQ(kep_cds_set_scale(dir.c_str(), 2), 0);
    EXPECT_EQ(kep_cds_set_enable(dir.c_str(), 1), 0);
    const char raw[] = {'a', '\0', 'b', 'c'};
    EXPECT_EQ(kep_cds_set_datastamp(dir.c_str(), raw, 4), 0);
    EXPECT_EQ(read_file(dir.file("ds_scale")), "2");
    EXPECT_EQ(read_file(dir.file("ds_enable")), "1");
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), std::string(raw, 4)) << "exactly length bytes, NUL included";
}

TEST(CdsSetters, SettingReplacesThePreviousText)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.file("ds_scale"), "123456"));
    EXPECT_EQ(kep_cds_set_scale(dir.c_str(), 1), 0);
    EXPECT_EQ(read_file(dir.file("ds_scale")), "1");
}

TEST(CdsWeightClamp, WeightAboveSevenIsClampedWithWarning)
{
    ScratchDir dir;
    int32_t attr[2] = {9, 3};
    Capture cap;
    EXPECT_EQ(kep_cds_set_color_attr(dir.c_str(), attr), 0);
    EXPECT_EQ(cap.err(), "<<Warning>> Error Stamp weight =9 range 1 ~ 7\n");
    EXPECT_EQ(attr[0], 7);
    EXPECT_EQ(attr[1], 3);
    EXPECT_EQ(read_file(dir.file("ds_color_attr")), "0x7 0x3");
}

TEST(CdsWeightClamp, WeightZeroOrNegativeBecomesOne)
{
    ScratchDir dir;
    for (int32_t weight : {0, -5}) {
        int32_t attr[2] = {weight, 0};
        Capture cap;
        EXPECT_EQ(kep_cds_set_color_attr(dir.c_str(), attr), 0);
        EXPECT_EQ(cap.err(), "<<Warning>> Error Stamp weight =" + std::to_string(weight) + " range 1 ~ 7\n");
        EXPECT_EQ(attr[0], 1);
        EXPECT_EQ(read_file(dir.file("ds_color_attr")), "0x1 0x0");
    }
}

TEST(CdsWeightClamp, WeightsOneToSevenPassSilently)
{
    ScratchDir dir;
    for (int32_t weight = 1; weight <= 7; ++weight) {
        int32_t attr[2] = {weight, 0x12};
        Capture cap;
        EXPECT_EQ(kep_cds_set_color_attr(dir.c_str(), attr), 0);
        EXPECT_EQ(cap.err(), "");
        EXPECT_EQ(attr[0], weight);
        EXPECT_EQ(read_file(dir.file("ds_color_attr")), "0x" + std::to_string(weight) + " 0x12");
    }
}

TEST(CdsWeightClamp, FailedOpenLeavesTheWeightUnclamped)
{
    int32_t attr[2] = {9, 3};
    Capture cap;
    EXPECT_EQ(kep_cds_set_color_attr("/nonexistent/kep", attr), 1);
    EXPECT_EQ(cap.err(), "open /nonexistent/kep/ds_color_attr failed.\n");
    EXPECT_EQ(attr[0], 9);
}

TEST(CdsGetters, PositionParsesStartAndDimension)
{
    ScratchDir dir;
    write_file(dir.file("ds_position"), "start(0x10, 0x20)");
    write_file(dir.file("ds_dimension"), "dim(0x4, 0x1)");
    int32_t start[2] = {-1, -1}, dim[2] = {-1, -1};
    Capture cap;
    EXPECT_EQ(kep_cds_get_position(dir.c_str(), start, dim), 0);
    EXPECT_EQ(start[0], 16);
    EXPECT_EQ(start[1], 32);
    EXPECT_EQ(dim[0], 4);
    EXPECT_EQ(dim[1], 1);
    EXPECT_EQ(cap.out(), "[get]: ds_positon = start(0x10, 0x20)\n[get]: ds_dimension = dim(0x4, 0x1)\n");
}

TEST(CdsGetters, PositionKeepsValuesTheTextDoesNotSupply)
{
    ScratchDir dir;
    write_file(dir.file("ds_position"), "start(0x7, garbage");
    write_file(dir.file("ds_dimension"), "nothing here");
    int32_t start[2] = {-1, -2}, dim[2] = {-3, -4};
    Capture cap;
    EXPECT_EQ(kep_cds_get_position(dir.c_str(), start, dim), 0);
    EXPECT_EQ(start[0], 7);
    EXPECT_EQ(start[1], -2);
    EXPECT_EQ(dim[0], -3);
    EXPECT_EQ(dim[1], -4);
}

TEST(CdsGetters, PositionWithoutDimensionFileStoresStartAndFails)
{
    ScratchDir dir;
    write_file(dir.file("ds_position"), "start(0x10, 0x20)");
    int32_t start[2] = {0, 0}, dim[2] = {5, 5};
    Capture cap;
    EXPECT_EQ(kep_cds_get_position(dir.c_str(), start, dim), 1);
    EXPECT_EQ(start[0], 16);
    EXPECT_EQ(start[1], 32);
    EXPECT_EQ(dim[0], 5);
    EXPECT_EQ(cap.out(), "[get]: ds_positon = start(0x10, 0x20)\n");
    EXPECT_EQ(cap.err(), "open " + dir.file("ds_dimension") + " failed.\n");
}

TEST(CdsGetters, EnableParsesAndPrintsTheValue)
{
    ScratchDir dir;
    write_file(dir.file("ds_enable"), "datastamp enable=1");
    int32_t enable = 0;
    Capture cap;
    EXPECT_EQ(kep_cds_get_enable(dir.c_str(), &enable), 0);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(cap.out(), "[get]: ds_enable = 1\n");
}

TEST(CdsGetters, EnableUnparsableKeepsAndPrintsThePreviousValue)
{
    ScratchDir dir;
    write_file(dir.file("ds_enable"), "enabled");
    int32_t enable = 42;
    Capture cap;
    EXPECT_EQ(kep_cds_get_enable(dir.c_str(), &enable), 0);
    EXPECT_EQ(enable, 42);
    EXPECT_EQ(cap.out(), "[get]: ds_enable = 42\n");
}

TEST(CdsGetters, ColorAndAttributesArePrintedAsRead)
{
    ScratchDir dir;
    write_file(dir.file("ds_color"), "color 1 2 3");
    write_file(dir.file("ds_color_attr"), "attr 7");
    Capture cap;
    EXPECT_EQ(kep_cds_get_color(dir.c_str()), 0);
    EXPECT_EQ(kep_cds_get_color_attr(dir.c_str()), 0);
    EXPECT_EQ(cap.out(), "[get]: ds_color = color 1 2 3\n[get]: ds_color_attr = attr 7\n");
}

TEST(CdsGetters, ScaleSucceedsSilentlyWhateverTheFileHolds)
{
    ScratchDir dir;
    for (const char *content : {"", "2", "\xff\xfe garbage"}) {
        write_file(dir.file("ds_scale"), content);
        Capture cap;
        EXPECT_EQ(kep_cds_get_scale(dir.c_str()), 0);
        EXPECT_EQ(cap.out(), "");
        EXPECT_EQ(cap.err(), "");
    }
}

TEST(CdsGetters, SmallFilesAreReadUpTo256Bytes)
{
    ScratchDir dir;
    std::string big(300, 'x');
    write_file(dir.file("ds_color"), big);
    Capture cap;
    EXPECT_EQ(kep_cds_get_color(dir.c_str()), 0);
    EXPECT_EQ(cap.out(), "[get]: ds_color = " + std::string(256, 'x') + "\n");
}

TEST(CdsGetters, DatastampReadsAtMostLengthBytes)
{
    ScratchDir dir;
    write_file(dir.file("ds_datastamp"), "0x1 0x2 0x3 ");
    char buf[16];
    memset(buf, 0, sizeof buf);
    Capture cap;
    EXPECT_EQ(kep_cds_get_datastamp(dir.c_str(), buf, 7), 0);
    EXPECT_EQ(std::string(buf), "0x1 0x2");
    EXPECT_EQ(cap.out(), "[get]: ds_datastamp = 0x1 0x2\n");
}

TEST(CdsGetters, DatastampNeverPrintsPastTheBytesRead)
{
    // The buffer has no NUL behind the bytes read: the line stops at them.
    ScratchDir dir;
    write_file(dir.file("ds_datastamp"), "abcd");
    char buf[4];
    Capture cap;
    EXPECT_EQ(kep_cds_get_datastamp(dir.c_str(), buf, 4), 0);
    EXPECT_EQ(cap.out(), "[get]: ds_datastamp = abcd\n");
}

TEST(CdsFailures, MissingFilesReportTheirPath)
{
    ScratchDir dir;
    const std::string d = dir.path();
    int32_t pair[2] = {0, 0}, one = 0;
    char buf[8] = {};
    const char *names[] = {"ds_datastamp", "ds_position", "ds_color", "ds_color_attr", "ds_scale", "ds_enable"};
    for (int i = 0; i < 6; ++i) {
        Capture cap;
        int32_t r = 0;
        switch (i) {
        case 0: r = kep_cds_get_datastamp(d.c_str(), buf, 4); break;
        case 1: r = kep_cds_get_position(d.c_str(), pair, pair); break;
        case 2: r = kep_cds_get_color(d.c_str()); break;
        case 3: r = kep_cds_get_color_attr(d.c_str()); break;
        case 4: r = kep_cds_get_scale(d.c_str()); break;
        case 5: r = kep_cds_get_enable(d.c_str(), &one); break;
        }
        EXPECT_EQ(r, 1) << names[i];
        EXPECT_EQ(cap.err(), "open " + d + "/" + names[i] + " failed.\n");
        EXPECT_EQ(cap.out(), "") << names[i];
    }
}

TEST(CdsFailures, SettersOnMissingDirectory)
{
    const int32_t p[3] = {1, 2, 3};
    const char *dir = "/nonexistent/kep";
    Capture cap;
    EXPECT_EQ(kep_cds_set_datastamp(dir, "x", 1), 1);
    EXPECT_EQ(kep_cds_set_position(dir, p, p), 1);
    EXPECT_EQ(kep_cds_set_color(dir, p, p), 1);
    EXPECT_EQ(kep_cds_set_scale(dir, 0), 1);
    EXPECT_EQ(cap.err(), "open /nonexistent/kep/ds_datastamp failed.\nopen /nonexistent/kep/ds_position failed.\n"
                         "open /nonexistent/kep/ds_color failed.\nopen /nonexistent/kep/ds_scale failed.\n");
}

TEST(CdsFailures, EnableOnMissingDirectoryFailsSilently)
{
    Capture cap;
    EXPECT_EQ(kep_cds_set_enable("/nonexistent/kep", 1), 1);
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "");
}

TEST(CdsFailures, PositionKeepsWhatWasWrittenWhenDimensionCannotBeOpened)
{
    ScratchDir dir;
    mkdir(dir.file("ds_dimension").c_str(), 0755); // a directory cannot be opened for writing
    const int32_t start[2] = {16, 32}, dim[2] = {4, 1};
    Capture cap;
    EXPECT_EQ(kep_cds_set_position(dir.c_str(), start, dim), 1);
    EXPECT_EQ(read_file(dir.file("ds_position")), "0x10 0x20");
    EXPECT_EQ(cap.err(), "open " + dir.file("ds_dimension") + " failed.\n");
}

TEST(CdsFailures, JoinedPathBeyond255CharactersIsRefusedNotTruncated)
{
    // The joined path of ds_scale is 256 characters: its first 255 name a
    // different file (".../ds_scal"), which must not be written.
    ScratchDir dir;
    std::string longdir = dir.path() + "/";
    while (longdir.size() + strlen("/ds_scale") < 256)
        longdir += "d";
    ASSERT_EQ((longdir + "/ds_scale").size(), 256u);
    ASSERT_EQ(mkdir(longdir.c_str(), 0755), 0);
    Capture cap;
    EXPECT_EQ(kep_cds_set_scale(longdir.c_str(), 1), 1);
    EXPECT_EQ(kep_cds_set_enable(longdir.c_str(), 1), 1);
    EXPECT_EQ(cap.err(), "open " + longdir + "/ds_scale failed.\n");
    EXPECT_FALSE(cdstest::exists(longdir + "/ds_scal"));
    EXPECT_FALSE(cdstest::exists(longdir + "/ds_scale"));
    EXPECT_FALSE(cdstest::exists(longdir + "/ds_enable"));
}

TEST(CdsFailures, JoinedPathOf255CharactersIsAccepted)
{
    ScratchDir dir;
    std::string longdir = dir.path() + "/";
    while (longdir.size() + strlen("/ds_scale") < 255)
        longdir += "d";
    ASSERT_EQ(longdir.size() + strlen("/ds_scale"), 255u);
    ASSERT_EQ(mkdir(longdir.c_str(), 0755), 0);
    EXPECT_EQ(kep_cds_set_scale(longdir.c_str(), 1), 0);
    EXPECT_EQ(read_file(longdir + "/ds_scale"), "1");
}

} // namespace
