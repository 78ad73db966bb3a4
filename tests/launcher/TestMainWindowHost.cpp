// The window of UI mode on a real (offscreen) display: the form as setupUi builds it, the embedded
// resources, and MainWindowHost's slots, message boxes, quitting, dragging and title buttons.

#include "frontends/MainWindowForm.h"
#include "frontends/MainWindowHost.h"
#include "support/TestUpdateServer.h"
#include "updater/Updater.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtEndian>
#include <QtTest>
#include <memory>

namespace
{
const QString family = QStringLiteral("Glacial Indiff Tweak");

// Closes every modal message box as soon as it is up, remembering what it showed, so that a box
// never blocks a test and each test can look at the boxes its own calls opened.
class BoxCloser : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QWidget* parent;
        bool loopRunningWhenClosed;
    };

    BoxCloser()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &BoxCloser::closeOpenBox);
        timer.start();
    }

    QList<Box> boxes;
    bool* loopRunning = nullptr;

private:
    void closeOpenBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(), box->parentWidget(),
                      loopRunning && *loopRunning});
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    QTimer timer;
};

// The bytes of a compiled-in resource, or nothing when it is missing or was stored compressed.
QByteArray storedResource(const QString& path)
{
    QResource resource(path);
    if (!resource.isValid() || resource.compressionAlgorithm() != QResource::NoCompression)
        return {};
    return QByteArray(reinterpret_cast<const char*>(resource.data()), resource.size());
}

// The PNG colour type from the IHDR chunk: 2 is 8-bit RGB, 6 is RGB with alpha.
int pngColourType(const QByteArray& png)
{
    return png.size() > 25 && png.startsWith("\x89PNG\r\n\x1a\n") ? uchar(png[25]) : -1;
}

int pngBitDepth(const QByteArray& png)
{
    return png.size() > 24 ? uchar(png[24]) : -1;
}

// usWeightClass of an OpenType font, read from its OS/2 table through the table directory.
int openTypeWeightClass(const QByteArray& font)
{
    const auto* data = reinterpret_cast<const uchar*>(font.constData());
    if (font.size() < 12)
        return -1;
    const int tables = qFromBigEndian<quint16>(data + 4);
    for (int i = 0; i < tables && 12 + 16 * (i + 1) <= font.size(); ++i) {
        const uchar* record = data + 12 + 16 * i;
        if (QByteArray(reinterpret_cast<const char*>(record), 4) == "OS/2") {
            const quint32 offset = qFromBigEndian<quint32>(record + 8);
            if (offset + 6 > quint32(font.size()))
                return -1;
            return qFromBigEndian<quint16>(data + offset + 4);
        }
    }
    return -1;
}

// A style sheet as a list of (selector, declarations) in the order written.
QList<QPair<QString, QStringList>> parseStyleSheet(const QString& sheet)
{
    QList<QPair<QString, QStringList>> rules;
    static const QRegularExpression rule(QStringLiteral("([^{}]+)\\{([^}]*)\\}"));
    for (const QRegularExpressionMatch& match : rule.globalMatch(sheet)) {
        QStringList declarations;
        for (QString line : match.captured(2).split('\n', Qt::SkipEmptyParts)) {
            line = line.trimmed();
            if (!line.isEmpty())
                declarations << line;
        }
        rules.append({match.captured(1).trimmed(), declarations});
    }
    return rules;
}

bool closeTo(QColor a, QColor b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}
} // namespace

class TestMainWindowHost : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    // The form on a plain QMainWindow.
    void formWidgets_data();
    void formWidgets();
    void formWindowProperties();
    void formInitialState();
    void formFonts_data();
    void formFonts();
    void formPalettes();
    void formStackingOrder();
    void formStyleSheet();
    void formRendersStyleSheetAndIcons();

    // The embedded resources.
    void resources_data();
    void resources();
    void resourceFont();

    // The window front end.
    void windowIsFramelessWithVersionText();
    void updaterSignalsReachTheWindow();
    void progressBars_data();
    void progressBars();
    void infoText_data();
    void infoText();
    void failureBoxThenQuit_data();
    void failureBoxThenQuit();
    void failureBeforeEventLoopDoesNotQuitLater();
    void popupShowsInformationWithoutQuitting();
    void updateDoneQuits();
    void titleBarDragsWindow_data();
    void titleBarDragsWindow();
    void minimizeButtonMinimizes();
    void closeButtonEndsTheRun();

private:
    MainWindowForm* buildForm(QMainWindow& window);
    void silenceUpdater();
    int runEventLoop(std::function<void()> action, int fallbackCode = 99, int fallbackMs = 5000);

    QTemporaryDir home;
    int fontId = -1;
    std::unique_ptr<BoxCloser> closer;
    MainWindowHost* host = nullptr;
    Updater* updater = nullptr;
    bool loopRunning = false;
    std::vector<std::unique_ptr<MainWindowForm>> forms;
};

void TestMainWindowHost::initTestCase()
{
    QVERIFY(home.isValid());
    // The Updater in the window works on real paths: keep them inside the test's own folder.
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("HOME", home.path().toUtf8());
    qputenv("TMPDIR", home.path().toUtf8());
    // Its requests go to this program's own server port, where nothing answers.
    TestUpdateServer::launcherPort();

    closer = std::make_unique<BoxCloser>();
    closer->loopRunning = &loopRunning;

    // As main() does in UI mode, before the window exists; the resources must already be there.
    fontId = QFontDatabase::addApplicationFont(":/GlacialIndiffTweak-Bold.otf");
    QVERIFY(fontId >= 0);

    host = new MainWindowHost("/opt/pelwinter/launcher", "main", "main", {}, false, false);
    updater = host->findChild<Updater*>();
    QVERIFY(updater);
}

void TestMainWindowHost::cleanupTestCase()
{
    forms.clear();
}

MainWindowForm* TestMainWindowHost::buildForm(QMainWindow& window)
{
    forms.push_back(std::make_unique<MainWindowForm>());
    forms.back()->setupUi(&window);
    return forms.back().get();
}

// The Updater keeps running in the background; from here on only the test drives the window.
void TestMainWindowHost::silenceUpdater()
{
    QObject::disconnect(updater, nullptr, host, nullptr);
}

int TestMainWindowHost::runEventLoop(std::function<void()> action, int fallbackCode, int fallbackMs)
{
    QTimer::singleShot(0, host, action);
    QTimer fallback;
    fallback.setSingleShot(true);
    connect(&fallback, &QTimer::timeout, [fallbackCode] { QCoreApplication::exit(fallbackCode); });
    fallback.start(fallbackMs);
    loopRunning = true;
    int code = QApplication::exec();
    loopRunning = false;
    return code;
}

void TestMainWindowHost::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("downloadProgressBar") << "downloadProgressBar"
                                         << "QProgressBar"
                                         << "centralWidget" << QRect(6, 306, 547, 31);
    QTest::newRow("closeButton") << "closeButton"
                                 << "QPushButton"
                                 << "centralWidget" << QRect(492, 6, 61, 30);
    QTest::newRow("minimizeButton") << "minimizeButton"
                                    << "QPushButton"
                                    << "centralWidget" << QRect(426, 6, 61, 30);
    QTest::newRow("titleBar") << "titleBar"
                              << "QLabel"
                              << "centralWidget" << QRect(0, 0, 427, 43);
    QTest::newRow("patchProgressBar") << "patchProgressBar"
                                      << "QProgressBar"
                                      << "centralWidget" << QRect(6, 343, 547, 31);
    QTest::newRow("progressStatus1") << "progressStatus1"
                                     << "QLabel"
                                     << "centralWidget" << QRect(18, 372, 521, 51);
    QTest::newRow("progressStatus2") << "progressStatus2"
                                     << "QLabel"
                                     << "centralWidget" << QRect(18, 402, 521, 41);
    QTest::newRow("previewImageLabel") << "previewImageLabel"
                                       << "QLabel"
                                       << "centralWidget" << QRect(0, 42, 559, 258);
    QTest::newRow("horizontalLayoutWidget") << "horizontalLayoutWidget"
                                            << "QWidget"
                                            << "centralWidget" << QRect(10, 0, 421, 43);
    // Laid out by horizontalLayout: no fixed geometry.
    QTest::newRow("titleTextLabel") << "titleTextLabel"
                                    << "QLabel"
                                    << "horizontalLayoutWidget" << QRect();
    QTest::newRow("versionTextLabel") << "versionTextLabel"
                                      << "QLabel"
                                      << "horizontalLayoutWidget" << QRect();
}

void TestMainWindowHost::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    QMainWindow window;
    buildForm(window);
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
}

void TestMainWindowHost::formWindowProperties()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.size(), QSize(559, 450));
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(window.font().resolveMask(), uint(QFont::StyleStrategyResolved));
    QCOMPARE(window.font().styleStrategy(), QFont::PreferAntialias);
    QCOMPARE(window.windowTitle(), QString("Pelwinter Launcher"));

    QCOMPARE(window.centralWidget(), form->centralWidget);
    QCOMPARE(form->centralWidget->objectName(), QString("centralWidget"));
    QCOMPARE(form->centralWidget->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(form->centralWidget->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY(!form->centralWidget->autoFillBackground());
    QVERIFY(!form->minimizeButton->autoFillBackground());

    QCOMPARE(form->horizontalLayout->objectName(), QString("horizontalLayout"));
    QCOMPARE(form->horizontalLayoutWidget->layout(), form->horizontalLayout);
    QCOMPARE(form->horizontalLayout->spacing(), 6);
    QCOMPARE(form->horizontalLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(form->horizontalLayout->count(), 2);
    QCOMPARE(form->horizontalLayout->itemAt(0)->widget(), form->titleTextLabel);
    QCOMPARE(form->horizontalLayout->itemAt(1)->widget(), form->versionTextLabel);
    QCOMPARE(form->horizontalLayout->stretch(0), 0);
    QCOMPARE(form->horizontalLayout->stretch(1), 0);
}

void TestMainWindowHost::formInitialState()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    for (QProgressBar* bar : {form->downloadProgressBar, form->patchProgressBar}) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->text(), QString("WAITING"));
        QCOMPARE(bar->alignment(), Qt::AlignCenter);
        QVERIFY(!bar->invertedAppearance());
        QVERIFY(bar->styleSheet().isEmpty());
    }
    QCOMPARE(form->progressStatus1->text(), QString("Inactive"));
    QCOMPARE(form->progressStatus1->alignment(), Qt::AlignCenter);
    QCOMPARE(form->progressStatus1->margin(), 0);
    QCOMPARE(form->progressStatus2->text(), QString("Please select a branch."));
    QCOMPARE(form->progressStatus2->alignment(), Qt::AlignCenter);
    QCOMPARE(form->titleTextLabel->text(), QString("Pelwinter Launcher"));
    QCOMPARE(form->versionTextLabel->text(), QString("v0.1"));
    QCOMPARE(form->versionTextLabel->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    QCOMPARE(form->versionTextLabel->margin(), 0);
    QVERIFY(form->titleBar->text().isEmpty());
    QVERIFY(form->closeButton->text().isEmpty());
    QVERIFY(form->minimizeButton->text().isEmpty());
    QVERIFY(form->previewImageLabel->text().isEmpty());

    QVERIFY(form->previewImageLabel->hasScaledContents());
    QCOMPARE(form->previewImageLabel->pixmap().size(), QSize(750, 350));
}

void TestMainWindowHost::formFonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<bool>("weightSet");

    QTest::newRow("downloadProgressBar") << "downloadProgressBar" << 16 << true;
    QTest::newRow("patchProgressBar") << "patchProgressBar" << 16 << true;
    QTest::newRow("progressStatus1") << "progressStatus1" << 16 << true;
    QTest::newRow("progressStatus2") << "progressStatus2" << 16 << true;
    QTest::newRow("titleBar") << "titleBar" << 16 << false;
    QTest::newRow("titleTextLabel") << "titleTextLabel" << 18 << true;
    QTest::newRow("versionTextLabel") << "versionTextLabel" << 12 << false;
}

void TestMainWindowHost::formFonts()
{
    QFETCH(QString, name);
    QFETCH(int, pointSize);
    QFETCH(bool, weightSet);

    QMainWindow window;
    buildForm(window);
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget);
    const QFont font = widget->font();
    QCOMPARE(font.families(), QStringList{family});
    QCOMPARE(font.pointSize(), pointSize);
    QCOMPARE(bool(font.resolveMask() & QFont::WeightResolved), weightSet);
    QCOMPARE(font.weight(), QFont::Normal);
    // The family resolves to the embedded font, not to a fallback of the platform.
    QCOMPARE(QFontInfo(font).family(), family);

    if (name == "titleTextLabel") {
        QVERIFY(!font.italic());
        QVERIFY(!font.underline());
        QVERIFY(!font.strikeOut());
        QVERIFY(!font.kerning());
        QCOMPARE(font.styleStrategy(), QFont::PreferDefault);
        QVERIFY(font.resolveMask() & QFont::KerningResolved);
    }
}

void TestMainWindowHost::formPalettes()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    for (QProgressBar* bar : {form->downloadProgressBar, form->patchProgressBar}) {
        const QPalette palette = bar->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            QCOMPARE(palette.brush(group, QPalette::Text).color(), QColor(196, 209, 224, 255));
            QCOMPARE(palette.brush(group, QPalette::Text).style(), Qt::SolidPattern);
            QCOMPARE(palette.brush(group, QPalette::PlaceholderText).color(), QColor(255, 255, 255, 128));
        }
        QCOMPARE(palette.brush(QPalette::Disabled, QPalette::Text).color(), QColor(120, 120, 120, 255));
        QCOMPARE(palette.brush(QPalette::Disabled, QPalette::PlaceholderText).color(), QColor(0, 0, 0, 128));
    }
    const QPalette label = form->progressStatus1->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            QCOMPARE(label.brush(group, role).color(), QColor(94, 113, 144, 255));
            QCOMPARE(label.brush(group, role).style(), Qt::SolidPattern);
        }
        QCOMPARE(label.brush(group, QPalette::PlaceholderText).color(), QColor(94, 113, 144, 128));
        QCOMPARE(label.brush(group, QPalette::PlaceholderText).style(), Qt::NoBrush);
    }
    // The second status line keeps the inherited palette.
    QVERIFY(form->progressStatus2->palette().resolveMask() == 0);
}

void TestMainWindowHost::formStackingOrder()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    QStringList bottomToTop;
    for (QObject* child : form->centralWidget->children()) {
        if (child->isWidgetType())
            bottomToTop << child->objectName();
    }
    QCOMPARE(bottomToTop, QStringList({"patchProgressBar", "progressStatus1", "progressStatus2", "previewImageLabel",
                                       "downloadProgressBar", "minimizeButton", "closeButton", "horizontalLayoutWidget",
                                       "titleBar"}));

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Presses on the title row's texts land on the empty title bar above them.
    for (QLabel* text : {form->titleTextLabel, form->versionTextLabel}) {
        const QPoint centre = text->mapTo(form->centralWidget, text->rect().center());
        QCOMPARE(form->centralWidget->childAt(centre), form->titleBar);
    }
    QCOMPARE(form->centralWidget->childAt(QPoint(450, 20)), form->minimizeButton);
    QCOMPARE(form->centralWidget->childAt(QPoint(500, 20)), form->closeButton);
    QCOMPARE(form->centralWidget->childAt(QPoint(280, 150)), form->previewImageLabel);
    // The second status line covers the lower part of the first one.
    QCOMPARE(form->centralWidget->childAt(QPoint(280, 380)), form->progressStatus1);
    QCOMPARE(form->centralWidget->childAt(QPoint(280, 410)), form->progressStatus2);
    // The picture ends where the first bar begins, and the first bar lies above the second.
    QCOMPARE(form->centralWidget->childAt(QPoint(280, 320)), form->downloadProgressBar);
    QCOMPARE(form->centralWidget->childAt(QPoint(280, 350)), form->patchProgressBar);
}

void TestMainWindowHost::formStyleSheet()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    const QList<QPair<QString, QStringList>> expected = {
        {"QWidget#centralWidget", {"background-color: #181228;"}},
        {"QPushButton",
         {"position: relative;", "background-color: #3D4B70;", "border-style: none;", "border-radius: 15px;",
          "background-repeat: none;", "background-position: center;", "background-clip: none;"}},
        {"QPushButton:hover", {"background-color: rgb(51, 65, 102);"}},
        {"QPushButton:pressed", {"background-color: rgb(41, 55, 92);", "margin-top: 5px;"}},
        {"QPushButton#minimizeButton", {"background-image: url(:/ButtonMinimizeIcon.png);"}},
        {"QPushButton#closeButton", {"background-image: url(:/ButtonCloseIcon.png);"}},
        {"QProgressBar:horizontal",
         {"border-radius: 0px;", "background-color: #3D4B70;", "color: #C4D1E0;", "text-transform: uppercase;"}},
        {"QProgressBar::chunk:horizontal", {"background-color: #5E7190;"}},
        {"QLabel", {"color: #5E7190;"}},
    };
    QCOMPARE(parseStyleSheet(form->centralWidget->styleSheet()), expected);

    for (QWidget* widget : form->centralWidget->findChildren<QWidget*>())
        QVERIFY2(widget->styleSheet().isEmpty(), qPrintable(widget->objectName()));
    QVERIFY(window.styleSheet().isEmpty());
}

// The sheet and the icons really take effect: a typo in a selector or a resource path would leave
// the default look, which these pixels tell apart.
void TestMainWindowHost::formRendersStyleSheetAndIcons()
{
    QMainWindow window;
    MainWindowForm* form = buildForm(window);
    form->downloadProgressBar->setValue(50);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage image = window.grab().toImage();

    QVERIFY(closeTo(image.pixelColor(3, 303), QColor(0x18, 0x12, 0x28)));   // window background
    QVERIFY(closeTo(image.pixelColor(20, 320), QColor(0x5E, 0x71, 0x90)));  // filled part of the bar
    QVERIFY(closeTo(image.pixelColor(540, 320), QColor(0x3D, 0x4B, 0x70))); // empty part of the bar
    QVERIFY(closeTo(image.pixelColor(540, 356), QColor(0x3D, 0x4B, 0x70))); // empty second bar
    QVERIFY(closeTo(image.pixelColor(440, 21), QColor(0x3D, 0x4B, 0x70)));  // button face
    for (QPushButton* button : {form->minimizeButton, form->closeButton}) {
        // The icon sits in the middle of its button, light on the button's blue.
        const QColor centre = image.pixelColor(button->geometry().center());
        QVERIFY2(centre.red() > 200 && centre.green() > 200 && centre.blue() > 200,
                 qPrintable(button->objectName() + " " + centre.name()));
    }

    const QString artefact = QCoreApplication::applicationDirPath() + "/testmainwindowhost-form.png";
    QVERIFY(image.save(artefact));
}

void TestMainWindowHost::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("colourType");

    QTest::newRow("minimize icon") << ":/ButtonMinimizeIcon.png" << QSize(21, 21) << 6;
    QTest::newRow("close icon") << ":/ButtonCloseIcon.png" << QSize(21, 21) << 6;
    QTest::newRow("picture") << ":/LauncherImage.png" << QSize(750, 350) << 2;
}

void TestMainWindowHost::resources()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(int, colourType);

    const QByteArray png = storedResource(path);
    QVERIFY(!png.isEmpty());
    QCOMPARE(pngColourType(png), colourType);
    QCOMPARE(pngBitDepth(png), 8);
    QImageReader reader(path);
    QCOMPARE(reader.size(), size);
    QVERIFY(!reader.read().isNull());
}

void TestMainWindowHost::resourceFont()
{
    const QString path = ":/GlacialIndiffTweak-Bold.otf";
    const QByteArray font = storedResource(path);
    QVERIFY(!font.isEmpty());
    QVERIFY(font.startsWith("OTTO")); // OpenType with CFF outlines
    QCOMPARE(openTypeWeightClass(font), 500);

    QCOMPARE(QFontDatabase::applicationFontFamilies(fontId), QStringList{family});
    QVERIFY(QFontDatabase::styles(family).contains("Bold"));
}

void TestMainWindowHost::windowIsFramelessWithVersionText()
{
    QVERIFY(host->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(host->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    QCOMPARE(host->objectName(), QString("MainWindow"));
    QCOMPARE(host->size(), QSize(559, 450));
    QCOMPARE(host->findChild<QLabel*>("versionTextLabel")->text(), QString("v1.5"));
    QCOMPARE(updater->parent(), host);
    // The form record goes with the window; the Updater is the window's only non-widget child.
    QCOMPARE(host->findChildren<Updater*>().size(), 1);
}

void TestMainWindowHost::updaterSignalsReachTheWindow()
{
    auto* bar1 = host->findChild<QProgressBar*>("downloadProgressBar");
    auto* bar2 = host->findChild<QProgressBar*>("patchProgressBar");
    auto* status1 = host->findChild<QLabel*>("progressStatus1");
    auto* status2 = host->findChild<QLabel*>("progressStatus2");

    emit updater->updateProgressBar1("DOWNLOADING %p%", 30, 120);
    emit updater->updateProgressBar2("PATCHING %p%", 3, 4);
    emit updater->updateInfoText("1.0 MiB/s", "2 minutes left");
    QCOMPARE(bar1->text(), QString("DOWNLOADING 25%"));
    QCOMPARE(bar2->text(), QString("PATCHING 75%"));
    QCOMPARE(status1->text(), QString("1.0 MiB/s"));
    QCOMPARE(status2->text(), QString("2 minutes left"));

    // Console lines never reach the window.
    emit updater->updateConsole("a console line");
    QCOMPARE(status1->text(), QString("1.0 MiB/s"));
    QCOMPARE(status2->text(), QString("2 minutes left"));

    // The boxes run their own event loops, in which the Updater's own run may report too: look for
    // the boxes these calls opened rather than counting.
    auto shown = [this](const QString& text, QMessageBox::Icon icon) {
        return std::any_of(closer->boxes.cbegin(), closer->boxes.cend(),
                           [&](const BoxCloser::Box& box) { return box.text == text && box.icon == icon; });
    };
    closer->boxes.clear();
    emit updater->popup("Notice", "Server maintenance tonight.");
    QVERIFY(shown("Server maintenance tonight.", QMessageBox::Information));
    emit updater->updateFailed("Disk full.", "Update Failed!");
    QVERIFY(shown("Disk full.", QMessageBox::Critical));

    QCOMPARE(runEventLoop([this] { emit updater->updateDone(); }), 0);
    silenceUpdater();
}

void TestMainWindowHost::progressBars_data()
{
    QTest::addColumn<qlonglong>("previousProgress");
    QTest::addColumn<qlonglong>("previousMax");
    QTest::addColumn<QString>("format");
    QTest::addColumn<qlonglong>("progress");
    QTest::addColumn<qlonglong>("maxProgress");
    QTest::addColumn<int>("barValue");
    QTest::addColumn<int>("barMax");
    QTest::addColumn<QString>("text");

    const qlonglong gib = qlonglong(1) << 30;
    QTest::newRow("percentage replaces %p")
        << 0LL << 100LL << "DOWNLOADING %p%" << 29LL << 100LL << 29 << 100 << "DOWNLOADING 29%";
    QTest::newRow("label only shows on an empty bar")
        << 40LL << 100LL << "INITIALIZING" << 0LL << 1LL << 0 << 1 << "INITIALIZING";
    QTest::newRow("label on a full bar") << 0LL << 100LL << "DONE" << 1LL << 1LL << 1 << 1 << "DONE";
    QTest::newRow("format without %p unchanged")
        << 0LL << 100LL << "VALIDATING" << 5LL << 10LL << 5 << 10 << "VALIDATING";
    // Setting the value before the new maximum would drop a value above the old maximum.
    QTest::newRow("maximum grows past the old one")
        << 50LL << 100LL << "%p%" << 1500LL << 2000LL << 1500 << 2000 << "75%";
    QTest::newRow("maximum shrinks below the old value")
        << 1500LL << 2000LL << "%p%" << 10LL << 40LL << 10 << 40 << "25%";
    QTest::newRow("5 GiB is scaled once")
        << 0LL << 100LL << "%p%" << 5 * gib / 2 << 5 * gib << int(5 * gib / 2048) << int(5 << 20) << "50%";
    QTest::newRow("2^31 is scaled") << 0LL << 100LL << "%p%" << gib << 2 * gib << int(1 << 20) << int(1 << 21) << "50%";
    QTest::newRow("2^31 - 1 is not scaled")
        << 0LL << 100LL << "%p%" << gib << 2 * gib - 1 << int(gib) << int(2 * gib - 1) << "50%";
    QTest::newRow("2^62 is scaled four times") << 0LL << 100LL << "%p%" << (qlonglong(3) << 60) << (qlonglong(1) << 62)
                                               << int(3 << 20) << int(1 << 22) << "75%";
    QTest::newRow("scaled progress truncates")
        << 0LL << 100LL << "%p%" << 1023LL << 2 * gib << 0 << int(1 << 21) << "0%";
}

void TestMainWindowHost::progressBars()
{
    QFETCH(qlonglong, previousProgress);
    QFETCH(qlonglong, previousMax);
    QFETCH(QString, format);
    QFETCH(qlonglong, progress);
    QFETCH(qlonglong, maxProgress);
    QFETCH(int, barValue);
    QFETCH(int, barMax);
    QFETCH(QString, text);

    silenceUpdater();
    auto* bar1 = host->findChild<QProgressBar*>("downloadProgressBar");
    auto* bar2 = host->findChild<QProgressBar*>("patchProgressBar");
    const QList<QPair<QProgressBar*, void (MainWindowHost::*)(QString, qlonglong, qlonglong)>> bars = {
        {bar1, &MainWindowHost::updateProgressBar1}, {bar2, &MainWindowHost::updateProgressBar2}};
    for (const auto& [bar, slot] : bars) {
        (host->*slot)("PREVIOUS", previousProgress, previousMax);
        QProgressBar* other = bar == bar1 ? bar2 : bar1;
        other->setFormat("OTHER");
        (host->*slot)(format, progress, maxProgress);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), barMax);
        QCOMPARE(bar->value(), barValue);
        QCOMPARE(bar->text(), text);
        QCOMPARE(other->format(), QString("OTHER"));
    }
}

void TestMainWindowHost::infoText_data()
{
    QTest::addColumn<QString>("line1");
    QTest::addColumn<QString>("line2");

    QTest::newRow("both lines") << "12.5 MiB/s - 1.2 GiB of 3.0 GiB"
                                << "About 3 minutes left";
    QTest::newRow("only the first line") << "Checking files..."
                                         << "";
    QTest::newRow("only the second line") << ""
                                          << "Hold on...";
    QTest::newRow("two empty lines clear both") << ""
                                                << "";
}

void TestMainWindowHost::infoText()
{
    QFETCH(QString, line1);
    QFETCH(QString, line2);

    silenceUpdater();
    auto* status1 = host->findChild<QLabel*>("progressStatus1");
    auto* status2 = host->findChild<QLabel*>("progressStatus2");
    host->updateInfoText("old first line", "old second line");
    host->updateInfoText(line1, line2);
    QCOMPARE(status1->text(), line1);
    QCOMPARE(status2->text(), line2);
}

void TestMainWindowHost::failureBoxThenQuit_data()
{
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("defaultTitle");

    QTest::newRow("launch failure") << "Couldn't start the game."
                                    << "Launch Failed!" << false;
    QTest::newRow("init failure") << "Can't remove old files!"
                                  << "Init Failed!" << false;
    QTest::newRow("default title") << "Patch 2 failed to apply."
                                   << "Update Failed!" << true;
}

void TestMainWindowHost::failureBoxThenQuit()
{
    QFETCH(QString, error);
    QFETCH(QString, title);
    QFETCH(bool, defaultTitle);

    silenceUpdater();
    closer->boxes.clear();
    const int code = runEventLoop([&] {
        if (defaultTitle)
            host->updateFailed(error);
        else
            host->updateFailed(error, title);
    });
    QCOMPARE(code, 0);
    QCOMPARE(closer->boxes.size(), 1);
    const BoxCloser::Box& box = closer->boxes[0];
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, error);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, host);
    // The run ends only once the box has been dismissed.
    QVERIFY(box.loopRunningWhenClosed);
}

// A failure reported inside go(), while the constructor runs and before the event loop exists, shows
// its box but must not leave a quit behind that ends the run as soon as the loop starts.
void TestMainWindowHost::failureBeforeEventLoopDoesNotQuitLater()
{
    silenceUpdater();
    closer->boxes.clear();
    host->updateFailed("Can't remove old files!", "Init Failed!");
    QCOMPARE(closer->boxes.size(), 1);
    QCOMPARE(closer->boxes[0].title, QString("Init Failed!"));
    QCOMPARE(runEventLoop([] {}, 5, 200), 5);
}

void TestMainWindowHost::popupShowsInformationWithoutQuitting()
{
    silenceUpdater();
    closer->boxes.clear();
    const int code = runEventLoop([this] { host->popup("Launcher update", "A new launcher is available."); }, 5, 500);
    QCOMPARE(code, 5);
    QCOMPARE(closer->boxes.size(), 1);
    const BoxCloser::Box& box = closer->boxes[0];
    QCOMPARE(box.title, QString("Launcher update"));
    QCOMPARE(box.text, QString("A new launcher is available."));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, host);
}

void TestMainWindowHost::updateDoneQuits()
{
    silenceUpdater();
    closer->boxes.clear();
    QCOMPARE(runEventLoop([this] { host->updateDone(); }), 0);
    QVERIFY(closer->boxes.isEmpty());
}

void TestMainWindowHost::titleBarDragsWindow_data()
{
    QTest::addColumn<QString>("pressedWidget");
    QTest::addColumn<bool>("moves");

    QTest::newRow("empty part of the title bar") << "titleBar" << true;
    QTest::newRow("title text lies under the title bar") << "titleTextLabel" << true;
    QTest::newRow("version text lies under the title bar") << "versionTextLabel" << true;
    QTest::newRow("picture") << "previewImageLabel" << false;
    QTest::newRow("status line") << "progressStatus1" << false;
    QTest::newRow("progress bar") << "downloadProgressBar" << false;
}

void TestMainWindowHost::titleBarDragsWindow()
{
    QFETCH(QString, pressedWidget);
    QFETCH(bool, moves);

    silenceUpdater();
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    host->move(100, 100);
    QTRY_COMPARE(host->pos(), QPoint(100, 100));

    auto* widget = host->findChild<QWidget*>(pressedWidget);
    QVERIFY(widget);
    // Press through the window, as a real pointer does, so that the stacking order decides who gets it.
    QWindow* window = host->windowHandle();
    const QPoint press = widget->mapTo(host, widget->rect().center());
    QTest::mousePress(window, Qt::LeftButton, {}, press);
    const QPoint pointer = host->mapToGlobal(press) + QPoint(30, 15);
    QTest::mouseMove(window, host->mapFromGlobal(pointer));
    // Positions are local to the window, which may have moved under the pointer meanwhile.
    QTest::mouseRelease(window, Qt::LeftButton, {}, host->mapFromGlobal(pointer));
    if (moves)
        QTRY_COMPARE(host->pos(), QPoint(130, 115));
    else
        QCOMPARE(host->pos(), QPoint(100, 100));

    // Once the button is up, moving the pointer leaves the window where it is.
    const QPoint before = host->pos();
    QTest::mouseMove(window, host->mapFromGlobal(pointer + QPoint(30, 25)));
    QCOMPARE(host->pos(), before);
}

void TestMainWindowHost::minimizeButtonMinimizes()
{
    silenceUpdater();
    host->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    QTest::mouseClick(host->findChild<QPushButton*>("minimizeButton"), Qt::LeftButton);
    QTRY_VERIFY(host->isMinimized());
    host->showNormal();
    QTRY_VERIFY(!host->isMinimized());
}

void TestMainWindowHost::closeButtonEndsTheRun()
{
    silenceUpdater();
    host->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    auto* closeButton = host->findChild<QPushButton*>("closeButton");
    const int code = runEventLoop([closeButton] { QTest::mouseClick(closeButton, Qt::LeftButton); });
    QCOMPARE(code, 0);
    QVERIFY(!host->isVisible());
}

QTEST_MAIN(TestMainWindowHost)
#include "TestMainWindowHost.moc"
