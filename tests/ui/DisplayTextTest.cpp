// Texts the windows derive from paths and sizes.
#include <QTest>

#include "DisplayText.h"

using namespace lumaro::ui;

namespace {
// One pixel per character keeps the expected results readable.
int Chars(const std::string& s) { return static_cast<int>(s.size()); }
} // namespace

class DisplayTextTest : public QObject {
    Q_OBJECT
private slots:
    void sizesUseTheThousandsSeparator();
    void folderAndNameParts();
    void longPathsGiveWayFolderByFolder();
    void shorteningOnPosixPaths();
};

void DisplayTextTest::sizesUseTheThousandsSeparator() {
    const QLocale c = QLocale::c();
    QCOMPARE(FormatSize(0, c), QStringLiteral("0"));
    QCOMPARE(FormatSize(999, c), QStringLiteral("999"));
    QCOMPARE(FormatSize(1000, c), QStringLiteral("1,000"));
    QCOMPARE(FormatSize(1234567, c), QStringLiteral("1,234,567"));
    QCOMPARE(FormatSize(5'000'000'000LL, c), QStringLiteral("5,000,000,000"));  // beyond 32 bits
    QCOMPARE(FormatSize(1234567, QLocale(QLocale::German)), QStringLiteral("1.234.567"));
    QCOMPARE(FormatSize(1234567, QLocale(QLocale::Japanese)), QStringLiteral("1,234,567"));
}

void DisplayTextTest::folderAndNameParts() {
    QCOMPARE(FolderPart("/photos/2004/a.jpg", '/'), std::string("/photos/2004"));
    QCOMPARE(FolderPart("/a.jpg", '/'), std::string("/"));
    QCOMPARE(FolderPart("C:\\a.jpg", '\\'), std::string("C:\\"));
    QCOMPARE(FolderPart("C:\\photos\\a.jpg", '\\'), std::string("C:\\photos"));
    QCOMPARE(FileNamePart("/photos/写真 1.jpg", '/'), std::string("写真 1.jpg"));
    QCOMPARE(FileNamePart("a.jpg", '/'), std::string("a.jpg"));
}

void DisplayTextTest::longPathsGiveWayFolderByFolder() {
    const std::string path = "C:\\Photos\\2004\\Trip\\Day1";
    QCOMPARE(ShortenFolderPath(path, 100, Chars, '\\'), path);
    const std::pair<int, const char*> steps[] = {
        {24, "C:\\Photos\\2004\\Trip\\Day1"}, {23, "C:\\...\\2004\\Trip\\Day1"}, {20, "C:\\...\\Trip\\Day1"},
        {15, "C:\\...\\Day1"}, {10, "...\\Day1"}, {7, "Day1"}, {1, "Day1"}};
    for (const auto& [width, expected] : steps) QCOMPARE(ShortenFolderPath(path, width, Chars, '\\'), std::string(expected));
}

void DisplayTextTest::shorteningOnPosixPaths() {
    const std::string path = "/home/user/Photos/Day1";
    QCOMPARE(ShortenFolderPath(path, 21, Chars, '/'), std::string("/.../user/Photos/Day1"));
    QCOMPARE(ShortenFolderPath(path, 16, Chars, '/'), std::string("/.../Photos/Day1"));
    QCOMPARE(ShortenFolderPath(path, 9, Chars, '/'), std::string("/.../Day1"));
    QCOMPARE(ShortenFolderPath(path, 8, Chars, '/'), std::string(".../Day1"));
    QCOMPARE(ShortenFolderPath(path, 3, Chars, '/'), std::string("Day1"));
    // A folder whose name begins with a dot is cut as a whole, like any other.
    QCOMPARE(ShortenFolderPath("/.x/ab/cd/Day1", 13, Chars, '/'), std::string("/.../cd/Day1"));
    // No drive letter on POSIX paths, even when the second character is ':'.
    QCOMPARE(ShortenFolderPath("a:/b/c", 2, Chars, '/'), std::string("c"));
}

QTEST_GUILESS_MAIN(DisplayTextTest)
#include "DisplayTextTest.moc"
