#include "ui/background.h"

#include "platform/regular_file.h"

namespace tarvelo::ui {

void BackgroundImage::paint(QPainter& painter, const QRect& client, const std::string& path) {
    Result<FileStamp> stamp =
        path.empty() ? Result<FileStamp>(Failure{"no file"}) : regular_file_stamp(path);
    if (!stamp) {
        stamp_.reset();
        image_ = QImage();
        return;
    }
    if (path != path_ || stamp_ != *stamp) {
        path_ = path;
        stamp_ = *stamp;
        image_ = QImage();
        // Only a regular file, opened without blocking: a FIFO here would freeze every window.
        // Should the file change while it is read, its stamp differs at the next paint.
        if (auto bytes = read_regular_file(path, kMaxBackgroundBytes))
            image_ = QImage::fromData(
                QByteArray::fromRawData(bytes->data(), static_cast<qsizetype>(bytes->size())));
    }
    if (!image_.isNull()) painter.drawImage(client, image_);
}

namespace {

QImage draw_builtin_bitmap(bool quantity_mode) {
    QImage image(256, 120, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    QPen amber(QColor::fromRgb(kAmber));
    amber.setWidth(1);
    p.setPen(amber);
    // Grid: the article row, the row of three value cells, the price row.
    p.drawRect(0, 0, 255, 119);
    p.drawLine(0, 32, 255, 32);
    p.drawLine(0, 84, 255, 84);
    p.drawLine(85, 32, 85, 84);
    p.drawLine(170, 32, 170, 84);
    QFont font("Arial");
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    const QString euro = QString(QChar(0x20AC));
    if (!quantity_mode) p.drawText(QRect(2, 34, 80, 18), Qt::AlignCenter, "TARE kg");
    p.drawText(QRect(87, 34, 80, 18), Qt::AlignCenter, quantity_mode ? "QTY pcs" : "WEIGHT kg");
    p.drawText(QRect(172, 34, 80, 18), Qt::AlignCenter,
               "UPRICE " + euro + (quantity_mode ? "/pcs" : "/kg"));
    p.drawText(QRect(80, 92, 58, 25), Qt::AlignVCenter | Qt::AlignRight, "PRICE");
    // The amber price field, ending in the euro sign.
    p.fillRect(QRect(140, 90, 112, 28), QColor::fromRgb(kAmber));
    p.setPen(Qt::black);
    font.setPixelSize(16);
    p.setFont(font);
    p.drawText(QRect(240, 90, 12, 28), Qt::AlignCenter, euro);
    return image;
}

}  // namespace

const QImage& builtin_bitmap(bool quantity_mode) {
    // Only the user-interface thread paints.
    static const QImage weight = draw_builtin_bitmap(false), quantity = draw_builtin_bitmap(true);
    return quantity_mode ? quantity : weight;
}

}  // namespace tarvelo::ui
