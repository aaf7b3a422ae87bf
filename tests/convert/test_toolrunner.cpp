// The texture tool's command lines and runs.
#include "testsets.h"

#include "toolrunner.h"

#include <gtest/gtest.h>

#include <QFileInfo>

using namespace corvane;
using namespace corvane::testing;

TEST(ToolRunner, CommandLinesKeepEveryBlank) {
    EXPECT_EQ(toolCommandLine("c:\\ibbb.exe", ToolMode::Rgb565, false, "c:\\etemp.bmp"),
              "c:\\ibbb.exe  -565  -b  -e bmp  c:\\etemp.bmp");
    EXPECT_EQ(toolCommandLine("c:\\ibbb.exe", ToolMode::Palette8, true, "c:\\etemp.bmp"),
              "c:\\ibbb.exe   -8   -e bmp  c:\\etemp.bmp");
    EXPECT_EQ(toolCommandLine("c:\\ibbb.exe", ToolMode::Argb32, false, "c:\\etemp.bmp"),
              "c:\\ibbb.exe  -now -32  -b  -e bmp  c:\\etemp.bmp");
    EXPECT_EQ(toolCommandLine("t", ToolMode(3), true, "f"), "t    -e bmp  f");
    EXPECT_EQ(toolArguments(ToolMode::Palette8Levels, false, "/my files/e temp.bmp"),
              (QStringList{"-8", "-alpha", "-verify", "-b", "-e", "bmp", "/my files/e temp.bmp"}));
}

TEST(ToolRunner, RunsACopyWithTheArgumentsAndRemovesIt) {
    Scratch s;
    const QString log = s.path("args.txt");
    const QString target = s.path("with blank.bmp");
    writeBytes(target, {1, 2, 3});
    const QString result = s.path("result.bmp");
    writeBytes(result, {9, 9});
    qputenv("FAKE_TOOL_LOG", log.toLocal8Bit());
    qputenv("FAKE_TOOL_RESULT", result.toLocal8Bit());
    qunsetenv("FAKE_TOOL_EXIT");

    const ToolRun run = runTextureTool(s.workspace, {FAKE_TOOL, false}, target, ToolMode::Argb4444);
    EXPECT_TRUE(run.outcome.ok) << run.outcome.error.toStdString();
    EXPECT_EQ(readBytes(target), (Bytes{9, 9}));
    const Bytes recorded = readBytes(log);
    EXPECT_EQ(std::string(recorded.begin(), recorded.end()), "-4444\n-b\n-e\nbmp\n" + target.toStdString() + "\n");
    EXPECT_FALSE(QFileInfo::exists(s.workspace.toolCopyPath()));

    qputenv("FAKE_TOOL_EXIT", "3");
    const ToolRun failed = runTextureTool(s.workspace, {FAKE_TOOL, true}, target, ToolMode::Rgb565);
    EXPECT_TRUE(failed.started);
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_FALSE(failed.outcome.ok);
    EXPECT_TRUE(failed.outcome.error.contains("cannot convert this file"));
    EXPECT_FALSE(QFileInfo::exists(s.workspace.toolCopyPath()));
    qunsetenv("FAKE_TOOL_EXIT");
    qunsetenv("FAKE_TOOL_RESULT");
    qunsetenv("FAKE_TOOL_LOG");

    const ToolRun missing = runTextureTool(s.workspace, {s.path("none.exe"), true}, target, ToolMode::Rgb565);
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.outcome.ok);
    EXPECT_FALSE(QFileInfo::exists(s.workspace.toolCopyPath()));
}
