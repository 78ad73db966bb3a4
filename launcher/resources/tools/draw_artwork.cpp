// Draws the window's three pictures: the 750x350 header picture (opaque RGB) and the two 21x21 title
// button icons (RGB with alpha). Everything is computed from fixed numbers and a seeded generator, so
// a run gives the same pixels each time.
//
// Usage: draw_artwork FONT.otf OUTPUT_DIR   (run with QT_QPA_PLATFORM=offscreen)

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTextStream>
#include <cmath>

namespace
{
const int pictureWidth = 750;
const int pictureHeight = 350;

// One ridge line across the picture: a sum of a few sines plus jagged noise, filled down to the bottom.
QPainterPath ridge(double baseY, double amplitude, double roughness, quint32 seed, double phase)
{
    QRandomGenerator random(seed);
    QPainterPath path;
    path.moveTo(0, pictureHeight);
    double jag = 0.0;
    for (int x = 0; x <= pictureWidth; x += 6) {
        jag = jag * 0.55 + (random.generateDouble() - 0.5) * roughness;
        double y = baseY -
                   amplitude * (0.55 * std::sin(x * 0.011 + phase) + 0.3 * std::sin(x * 0.027 + phase * 2.1) +
                                0.15 * std::sin(x * 0.063 + phase * 0.7)) +
                   jag;
        path.lineTo(x, y);
    }
    path.lineTo(pictureWidth, pictureHeight);
    path.closeSubpath();
    return path;
}

void drawSky(QPainter& painter)
{
    QLinearGradient sky(0, 0, 0, pictureHeight);
    sky.setColorAt(0.0, QColor(10, 8, 24));
    sky.setColorAt(0.35, QColor(24, 18, 52));
    sky.setColorAt(0.62, QColor(52, 48, 96));
    sky.setColorAt(0.80, QColor(118, 96, 140));
    sky.setColorAt(1.0, QColor(150, 120, 150));
    painter.fillRect(0, 0, pictureWidth, pictureHeight, sky);

    QRandomGenerator random(7);
    for (int i = 0; i < 420; ++i) {
        double x = random.bounded(double(pictureWidth));
        double y = std::pow(random.generateDouble(), 1.6) * 230.0;
        double size = 0.4 + random.generateDouble() * (i % 23 == 0 ? 1.6 : 0.9);
        int alpha = int(90 + random.bounded(166) * (1.0 - y / 260.0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(230, 236, 255, std::clamp(alpha, 30, 255)));
        painter.drawEllipse(QPointF(x, y), size, size);
    }
}

void drawAurora(QPainter& painter)
{
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Screen);
    struct Band
    {
        double baseY, amplitude, frequency, phase, height;
        QColor colour;
    };
    const Band bands[] = {{92, 22, 0.009, 0.4, 70, QColor(70, 220, 180)},
                          {70, 16, 0.013, 2.2, 55, QColor(90, 170, 230)},
                          {112, 12, 0.017, 4.0, 40, QColor(170, 110, 220)}};
    for (const Band& band : bands) {
        for (int x = 0; x < pictureWidth; x += 2) {
            double wave = std::sin(x * band.frequency + band.phase);
            double y = band.baseY + band.amplitude * wave + 8 * std::sin(x * 0.05 + band.phase);
            double fade = 0.5 + 0.5 * std::sin(x * 0.006 + band.phase * 1.3);
            QLinearGradient curtain(0, y - band.height, 0, y);
            QColor top = band.colour;
            top.setAlpha(0);
            QColor bottom = band.colour;
            bottom.setAlpha(int(70 * fade));
            curtain.setColorAt(0.0, top);
            curtain.setColorAt(0.85, bottom);
            QColor edge = band.colour;
            edge.setAlpha(0);
            curtain.setColorAt(1.0, edge);
            painter.fillRect(QRectF(x, y - band.height, 2.0, band.height), curtain);
        }
    }
    painter.restore();
}

void drawMoon(QPainter& painter)
{
    const QPointF centre(686, 50);
    QRadialGradient halo(centre, 90);
    halo.setColorAt(0.0, QColor(220, 225, 255, 110));
    halo.setColorAt(0.3, QColor(180, 190, 240, 40));
    halo.setColorAt(1.0, QColor(180, 190, 240, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(halo);
    painter.drawEllipse(centre, 90, 90);

    QRadialGradient disc(centre - QPointF(6, 6), 30);
    disc.setColorAt(0.0, QColor(255, 253, 244));
    disc.setColorAt(1.0, QColor(214, 214, 232));
    painter.setBrush(disc);
    painter.drawEllipse(centre, 24, 24);
    painter.setBrush(QColor(190, 190, 214, 120));
    painter.drawEllipse(centre + QPointF(-8, 5), 5, 4);
    painter.drawEllipse(centre + QPointF(7, -6), 3.5, 3);
    painter.drawEllipse(centre + QPointF(9, 9), 2.5, 2.5);
}

// One mountain range: a ridge filled with a dark-to-darker gradient, whose crests are whitened by a
// snow gradient that fades out further down the slopes.
void drawRange(QPainter& painter, const QPainterPath& range, double fillTop, QColor top, QColor bottom, double snowTop,
               double snowBottom, QColor snowColour)
{
    QLinearGradient fill(0, fillTop, 0, pictureHeight);
    fill.setColorAt(0.0, top);
    fill.setColorAt(1.0, bottom);
    painter.setBrush(fill);
    painter.drawPath(range);

    painter.save();
    painter.setClipPath(range);
    QLinearGradient snow(0, snowTop, 0, snowBottom);
    snow.setColorAt(0.0, snowColour);
    snowColour.setAlpha(0);
    snow.setColorAt(1.0, snowColour);
    painter.setBrush(snow);
    painter.drawRect(0, 0, pictureWidth, pictureHeight);
    painter.restore();
}

void drawMountains(QPainter& painter)
{
    painter.setPen(Qt::NoPen);
    drawRange(painter, ridge(205, 58, 16, 11, 0.8), 130, QColor(92, 104, 150), QColor(52, 58, 100), 140, 205,
              QColor(236, 240, 255, 230));
    drawRange(painter, ridge(250, 40, 22, 23, 3.1), 190, QColor(61, 75, 112), QColor(34, 36, 70), 200, 236,
              QColor(210, 220, 246, 200));

    // Valley mist between the ranges.
    QLinearGradient mist(0, 232, 0, 292);
    mist.setColorAt(0.0, QColor(196, 209, 224, 0));
    mist.setColorAt(0.6, QColor(196, 209, 224, 60));
    mist.setColorAt(1.0, QColor(196, 209, 224, 0));
    painter.fillRect(0, 232, pictureWidth, 60, mist);
}

void drawFortress(QPainter& painter)
{
    // A small keep on a rock to the left: the picture's focal point, with warm lit windows.
    const QColor stone(22, 20, 44);
    painter.setPen(Qt::NoPen);
    painter.setBrush(stone);
    QPainterPath rock;
    rock.moveTo(70, 350);
    rock.cubicTo(90, 280, 120, 262, 170, 258);
    rock.cubicTo(220, 256, 246, 280, 262, 350);
    rock.closeSubpath();
    painter.drawPath(rock);

    auto tower = [&](double x, double top, double width, double roofHeight) {
        painter.drawRect(QRectF(x, top, width, 290 - top));
        QPainterPath roof;
        roof.moveTo(x - 3, top);
        roof.lineTo(x + width / 2, top - roofHeight);
        roof.lineTo(x + width + 3, top);
        roof.closeSubpath();
        painter.drawPath(roof);
    };
    tower(120, 212, 20, 26);
    tower(150, 186, 26, 36);
    tower(188, 224, 18, 22);
    painter.drawRect(QRectF(118, 246, 90, 40));
    for (int i = 0; i < 6; ++i)
        painter.drawRect(QRectF(118 + i * 16, 240, 9, 8));

    // Snow on the roofs.
    painter.setBrush(QColor(226, 232, 250, 210));
    for (const auto& cap : {QPointF(130, 186), QPointF(163, 150), QPointF(197, 202)}) {
        QPainterPath capPath;
        capPath.moveTo(cap.x(), cap.y());
        capPath.lineTo(cap.x() + 7, cap.y() + 9);
        capPath.lineTo(cap.x() - 7, cap.y() + 9);
        capPath.closeSubpath();
        painter.drawPath(capPath);
    }

    const QPointF windows[] = {{127, 222}, {159, 198}, {159, 216}, {193, 234}, {136, 258}, {176, 258}};
    for (const QPointF& window : windows) {
        QRadialGradient glow(window + QPointF(2.5, 4), 16);
        glow.setColorAt(0.0, QColor(255, 184, 96, 120));
        glow.setColorAt(1.0, QColor(255, 184, 96, 0));
        painter.setBrush(glow);
        painter.drawEllipse(window + QPointF(2.5, 4), 16, 16);
        painter.setBrush(QColor(255, 206, 120));
        painter.drawRoundedRect(QRectF(window.x(), window.y(), 5, 8), 2, 2);
    }
}

void drawForest(QPainter& painter)
{
    QRandomGenerator random(42);
    painter.setPen(Qt::NoPen);
    auto pine = [&](double x, double groundY, double height, const QColor& colour, bool snowy) {
        double width = height * 0.42;
        painter.setBrush(colour);
        painter.drawRect(QRectF(x - width * 0.05, groundY - height * 0.12, width * 0.1, height * 0.12));
        for (int tier = 0; tier < 4; ++tier) {
            double tierBottom = groundY - height * (0.1 + tier * 0.21);
            double tierTop = tierBottom - height * 0.36;
            double tierWidth = width * (1.0 - tier * 0.2);
            QPainterPath shape;
            shape.moveTo(x, tierTop);
            shape.lineTo(x + tierWidth / 2, tierBottom);
            shape.lineTo(x - tierWidth / 2, tierBottom);
            shape.closeSubpath();
            painter.setBrush(colour);
            painter.drawPath(shape);
            if (snowy) {
                QPainterPath snow;
                snow.moveTo(x - tierWidth * 0.38, tierBottom - 1);
                snow.quadTo(x, tierBottom - height * 0.07, x + tierWidth * 0.38, tierBottom - 1);
                snow.lineTo(x + tierWidth / 2, tierBottom);
                snow.lineTo(x - tierWidth / 2, tierBottom);
                snow.closeSubpath();
                painter.setBrush(QColor(200, 212, 238, 170));
                painter.drawPath(snow);
            }
        }
    };

    // Back row, hazy.
    for (double x = 250; x < pictureWidth + 10; x += 9 + random.bounded(9))
        pine(x, 300 + random.bounded(8), 34 + random.bounded(22), QColor(40, 42, 80), false);

    // Snow field.
    QPainterPath field;
    field.moveTo(0, 320);
    field.cubicTo(200, 300, 420, 318, pictureWidth, 304);
    field.lineTo(pictureWidth, pictureHeight);
    field.lineTo(0, pictureHeight);
    field.closeSubpath();
    QLinearGradient fieldFill(0, 300, 0, pictureHeight);
    fieldFill.setColorAt(0.0, QColor(168, 182, 220));
    fieldFill.setColorAt(1.0, QColor(96, 108, 160));
    painter.setBrush(fieldFill);
    painter.drawPath(field);

    // Front row, dark and snowy.
    for (double x = 270; x < pictureWidth + 20; x += 16 + random.bounded(18))
        pine(x, 336 + random.bounded(14), 62 + random.bounded(40), QColor(18, 16, 36), true);
    for (double x = -10; x < 70; x += 18 + random.bounded(10))
        pine(x, 340 + random.bounded(10), 70 + random.bounded(30), QColor(18, 16, 36), true);
}

void drawSnowfall(QPainter& painter)
{
    QRandomGenerator random(99);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 260; ++i) {
        double x = random.bounded(double(pictureWidth));
        double y = random.bounded(double(pictureHeight));
        double radius = 0.5 + random.generateDouble() * 1.4;
        painter.setBrush(QColor(240, 244, 255, 60 + random.bounded(120)));
        painter.drawEllipse(QPointF(x, y), radius, radius);
    }
}

void drawTitle(QPainter& painter, const QString& family)
{
    QFont font(family);
    font.setPixelSize(66);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 7);
    painter.setFont(font);
    const QRectF box(300, 86, 420, 80);
    painter.setPen(QColor(10, 8, 30, 150));
    painter.drawText(box.translated(2, 3), Qt::AlignCenter, QStringLiteral("PELWINTER"));
    QLinearGradient ink(0, box.top() + 14, 0, box.bottom() - 14);
    ink.setColorAt(0.0, QColor(250, 252, 255));
    ink.setColorAt(1.0, QColor(196, 209, 224));
    painter.setPen(QPen(QBrush(ink), 1));
    painter.drawText(box, Qt::AlignCenter, QStringLiteral("PELWINTER"));

    QFont small(family);
    small.setPixelSize(15);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 5);
    painter.setFont(small);
    painter.setPen(QColor(196, 209, 224, 210));
    const QRectF line(300, 160, 420, 24);
    const QString subtitle = QStringLiteral("THE LONG FROST");
    painter.drawText(line, Qt::AlignCenter, subtitle);
    // Two rules frame the subtitle at an equal distance on either side.
    const double half = QFontMetricsF(small).horizontalAdvance(subtitle) / 2.0;
    const double middle = line.center().x();
    const double y = line.center().y() + 1;
    painter.setPen(QPen(QColor(196, 209, 224, 140), 1));
    painter.drawLine(QPointF(middle - half - 64, y), QPointF(middle - half - 14, y));
    painter.drawLine(QPointF(middle + half + 14, y), QPointF(middle + half + 64, y));
}

QImage drawPicture(const QString& family)
{
    QImage image(pictureWidth, pictureHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawSky(painter);
    drawAurora(painter);
    drawMoon(painter);
    drawMountains(painter);
    drawFortress(painter);
    drawForest(painter);
    drawSnowfall(painter);
    drawTitle(painter, family);

    // Soft vignette so the picture's edges sink into the window's dark background.
    QRadialGradient vignette(QPointF(pictureWidth / 2.0, pictureHeight / 2.0), pictureWidth * 0.62);
    vignette.setColorAt(0.6, QColor(24, 18, 40, 0));
    vignette.setColorAt(1.0, QColor(24, 18, 40, 150));
    painter.fillRect(image.rect(), vignette);
    return image;
}

QImage blankIcon()
{
    QImage image(21, 21, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

QImage drawMinimizeIcon()
{
    QImage image = blankIcon();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(8, 6, 20, 90));
    painter.drawRoundedRect(QRectF(4.5, 10.5, 12, 3.2), 1.6, 1.6);
    painter.setBrush(QColor(226, 234, 244));
    painter.drawRoundedRect(QRectF(4.5, 9.0, 12, 3.2), 1.6, 1.6);
    return image;
}

QImage drawCloseIcon()
{
    QImage image = blankIcon();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen shadow(QColor(8, 6, 20, 90), 2.6, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(shadow);
    painter.drawLine(QPointF(6, 7.5), QPointF(15, 16.5));
    painter.drawLine(QPointF(15, 7.5), QPointF(6, 16.5));
    QPen pen(QColor(226, 234, 244), 2.6, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(6, 6), QPointF(15, 15));
    painter.drawLine(QPointF(15, 6), QPointF(6, 15));
    return image;
}

bool save(const QImage& image, const QString& path)
{
    if (!image.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << "wrote " << path << "\n";
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        QTextStream(stderr) << "usage: draw_artwork FONT.otf OUTPUT_DIR\n";
        return 2;
    }
    int fontId = QFontDatabase::addApplicationFont(QString::fromLocal8Bit(argv[1]));
    QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (families.isEmpty()) {
        QTextStream(stderr) << "cannot load font " << argv[1] << "\n";
        return 1;
    }
    const QString dir = QString::fromLocal8Bit(argv[2]);
    bool ok = save(drawPicture(families.first()), dir + "/LauncherImage.png");
    ok = save(drawMinimizeIcon(), dir + "/ButtonMinimizeIcon.png") && ok;
    ok = save(drawCloseIcon(), dir + "/ButtonCloseIcon.png") && ok;
    return ok ? 0 : 1;
}
