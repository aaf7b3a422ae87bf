// Runs one test of this executable again in a child process under each
// screen scale, so that drawing is checked in whole device pixels at
// fractional and double scales.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

inline void expectPassesUnderScreenScales(const char* testName, int timeoutMs) {
    for (const char* factor : {"1.5", "2"}) {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_SCALE_FACTOR", factor);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        run.setProcessEnvironment(env);
        run.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + testName});
        ASSERT_TRUE(run.waitForFinished(timeoutMs));
        const QString out = QString::fromLocal8Bit(run.readAllStandardOutput());
        EXPECT_EQ(run.exitCode(), 0) << "QT_SCALE_FACTOR=" << factor << '\n' << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
    }
}
