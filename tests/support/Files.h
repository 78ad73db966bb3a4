#pragma once

#include <QByteArray>
#include <QString>

// Whole-file reads and writes for test fixtures and checks.
//
//     writeFile(root + "/a/b/file", "bytes");   // makes a/ and a/b/ first
//     QCOMPARE(readFile(root + "/gone", "<missing>"), QByteArray("<missing>"));

// Writes content to path (into the file itself, so hard links to it see the new bytes), making its
// folders first. A write that fails returns false and, inside a running test function, fails that
// test with the path: a fixture that isn't there would let many checks pass for the wrong reason,
// and table rows' lambdas and helpers that return a value can't stop at a QVERIFY.
bool writeFile(const QString& path, const QByteArray& content);

// The bytes of the file at path, or whenUnreadable when it can't be opened: give a text no file of
// the test holds where a missing file must not pass for an empty one.
QByteArray readFile(const QString& path, const QByteArray& whenUnreadable = QByteArray());
