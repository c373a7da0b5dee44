#include <QFile>
#include <QImage>
#include <QImageReader>

#include <gtest/gtest.h>

namespace {

const QString programDir = QStringLiteral(TALVENOR_PROGRAM_DIR);

TEST(ArtTest, HandPointerIsACursorThatQtReads) {
    QFile f(programDir + "/HAND-M.CUR");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    ASSERT_GE(bytes.size(), 22);
    EXPECT_EQ(uchar(bytes[2]), 2); // a cursor, not an icon
    const int hotX = uchar(bytes[10]) | uchar(bytes[11]) << 8;
    const int hotY = uchar(bytes[12]) | uchar(bytes[13]) << 8;
    EXPECT_EQ(hotX, 5); // the fingertip
    EXPECT_EQ(hotY, 0);

    QImageReader reader(f.fileName());
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(image.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);           // transparent corner
    EXPECT_EQ(image.pixel(5, 0), qRgba(0, 0, 0, 255)); // the outline at the fingertip
    EXPECT_EQ(image.pixel(5, 1), qRgb(255, 255, 255)); // a white finger
}

TEST(ArtTest, IconsLoad) {
    for (const char* name : {"talvenor-48.png", "talvenor-128.png"}) {
        const QImage image(programDir + "/" + name);
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_EQ(image.width(), image.height());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << name; // rounded corners
    }
}

} // namespace
