// Draws the wizard's pictures: the window icon, the three step-state icons and the banner.
// Run once after changing a drawing; the PNG files it writes are committed beside it.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

QImage canvas(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// Pending: a hollow grey ring.
QImage pending()
{
    QImage image = canvas(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x9a, 0xa3, 0xab), 1.6));
    p.setBrush(QColor(0xf2, 0xf4, 0xf5));
    p.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    return image;
}

// In progress: an orange disc with a white play arrow.
QImage running()
{
    QImage image = canvas(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe6, 0x7e, 0x22));
    p.drawEllipse(QRectF(1, 1, 14, 14));
    QPainterPath arrow;
    arrow.moveTo(6, 4.5);
    arrow.lineTo(11.5, 8);
    arrow.lineTo(6, 11.5);
    arrow.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    return image;
}

// Finished: a green disc with a white tick.
QImage done()
{
    QImage image = canvas(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x27, 0xae, 0x60));
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(4.5, 8.2);
    tick.lineTo(7, 10.8);
    tick.lineTo(11.5, 5.5);
    p.drawPath(tick);
    return image;
}

// A kestrel's wing over a blue tile, with a downward arrow.
void drawMark(QPainter &p, const QRectF &r)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2e, 0x86, 0xc1));
    p.drawRoundedRect(r, r.width() * 0.18, r.width() * 0.18);
    const double s = r.width() / 16.0;
    auto at = [&](double x, double y) { return QPointF(r.left() + x * s, r.top() + y * s); };
    QPainterPath wing;
    wing.moveTo(at(2.5, 6));
    wing.quadTo(at(8, 2.5), at(13.5, 4));
    wing.quadTo(at(9, 5.5), at(8, 9));
    wing.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(wing);
    QPainterPath arrow;
    arrow.moveTo(at(8, 9.5));
    arrow.lineTo(at(11.5, 9.5));
    arrow.lineTo(at(9.75, 13.5));
    arrow.closeSubpath();
    p.setBrush(QColor(0xf5, 0xb0, 0x41));
    p.drawPath(arrow);
}

QImage windowIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawMark(p, QRectF(0, 0, size, size));
    return image;
}

QImage banner()
{
    QImage image(142, 45, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawMark(p, QRectF(2, 6, 33, 33));
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(17);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0x2e, 0x86, 0xc1));
    p.drawText(QRectF(42, 4, 100, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kestrel 11"));
    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(10);
    p.setFont(sub);
    p.setPen(QColor(0x55, 0x5f, 0x68));
    p.drawText(QRectF(42, 25, 100, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Mise à jour"));
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = pending().save(out + QStringLiteral("/step-pending.png"))
        && running().save(out + QStringLiteral("/step-running.png"))
        && done().save(out + QStringLiteral("/step-done.png"))
        && windowIcon(32).save(out + QStringLiteral("/window.png"))
        && windowIcon(32).save(out + QStringLiteral("/window.ico"))
        && banner().save(out + QStringLiteral("/banner.png"));
    return ok ? 0 : 1;
}
