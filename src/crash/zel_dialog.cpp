// The exception dialog and the library's other windows. The exception thread owns
// the decisions and the work (handlers, mail, save); the dialog on the main
// thread only shows and asks, so a slow mail never freezes its painting.
#include "zel_dialog.h"
#include "zel_except_internal.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/dialogs.h"
#include "zel_report.h"
#include "zel_strings.h"

namespace zelExcept {

namespace {

constexpr int kMargin = 10;
constexpr int kButtonHeight = 22;
constexpr int kRowPitch = 26;
constexpr int kReportWidth = 538;
constexpr int kReportHeight = 300;
constexpr int kTextWidth = 320;

QStyle::StandardPixmap IconOf(int action) {
    switch (action) {
    case actMail: return QStyle::SP_DialogOkButton;
    case actSave: return QStyle::SP_DialogSaveButton;
    case actPrint: return QStyle::SP_FileIcon;
    case actShow: return QStyle::SP_FileDialogDetailedView;
    case actContinue: return QStyle::SP_MediaPlay;
    case actRestart: return QStyle::SP_BrowserReload;
    default: return QStyle::SP_DialogCloseButton;
    }
}

}  // namespace

void TExceptionButton::SetProgress(double part) {
    progress_ = part < 0 ? -1 : std::min(part, 1.0);
    update();
}

void TExceptionButton::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    if (progress_ < 0) return;
    QPainter painter(this);
    QColor bar = palette().color(QPalette::Highlight);
    bar.setAlpha(110);
    painter.fillRect(QRect(0, 0, qRound(progress_ * width()), height()), bar);
}

TExceptionBox::TExceptionBox(const TExceptionRecord& exception, const std::string& report,
                             std::function<void(TAction)> run, TClock clock, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      exception_(exception), report_(report), run_(std::move(run)),
      clock_(clock ? std::move(clock) : TClock([] { return std::chrono::steady_clock::now(); })) {
    TSettingsBlock& settings = Settings();
    setObjectName("TExceptionBox");
    setWindowTitle(QString::fromStdString(ExpandPlaceholders(settings.DialogTitle, report_)));
    setWindowModality(Qt::ApplicationModal);

    icon_ = new QLabel(this);
    icon_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    text_ = new QLabel(QString::fromStdString(ForConsole(DialogMessage(settings, exception_, report_))), this);
    text_->setWordWrap(true);
    text_->setTextFormat(Qt::PlainText);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    reportView_ = new QPlainTextEdit(QString::fromStdString(report_), this);
    reportView_->setObjectName("ReportView");
    reportView_->setReadOnly(true);
    reportView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    reportView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reportView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reportView_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    reportView_->setVisible(settings.DetailsAtOnce);

    const TButtonSet present = PresentButtons(settings);
    for (int i = 0; i < 7; ++i) {
        if (!present[std::size_t(i)]) continue;
        auto* button = new TExceptionButton(QString::fromStdString(settings.ButtonTexts[std::size_t(i)]), this);
        button->setObjectName(QString("Button%1").arg(i));
        if (settings.ButtonLook) button->setIcon(style()->standardIcon(IconOf(i)));
        connect(button, &QPushButton::clicked, this, [this, i] { ButtonClicked(i); });
        buttons_[std::size_t(i)] = button;
    }

    focus_ = FocusButtonFor(settings, present, exception_);
    settings.FocusButton = focus_;
    if (TExceptionButton* b = Button(focus_)) {
        b->setDefault(true);
        b->setFocus();
    }
    if (settings.ButtonLook && settings.Countdown > 0) countdown_ = CountdownButtonFor(settings, present, exception_);
    countdownTimer_ = new QTimer(this);
    countdownTimer_->setInterval(10);
    connect(countdownTimer_, &QTimer::timeout, this, [this] { CountdownTick(); });
    if (countdown_ >= 0) {
        countdownStart_ = clock_();
        Button(countdown_)->SetProgress(0);
    }
    Relayout();
}

TExceptionButton* TExceptionBox::Button(int action) const {
    return action >= 0 && action < 7 ? buttons_[std::size_t(action)] : nullptr;
}

bool TExceptionBox::ReportShown() const { return !reportView_->isHidden(); }

void TExceptionBox::Start() {
    QApplication::beep();
    showNormal();
    raise();
    activateWindow();
    if (TExceptionButton* b = Button(focus_)) b->setFocus();
    if (countdown_ >= 0) countdownTimer_->start();
}

void TExceptionBox::Relayout() {
    const QFontMetrics fm(font());
    const QString message = text_->text();
    QRect textRect = fm.boundingRect(QRect(0, 0, kTextWidth, 10000), Qt::TextWordWrap, message);
    const int textWidth = std::max(textRect.width(), 120);
    int buttonWidth = 0, rows = 0;
    for (TExceptionButton* b : buttons_)
        if (b) {
            buttonWidth = std::max(buttonWidth, fm.horizontalAdvance(b->text()) + 16 + 28);
            ++rows;
        }
    const int iconLeft = kMargin, textLeft = kMargin + 32 + 10;
    int width = textLeft + textWidth + 14 + buttonWidth + kMargin;
    int top = std::max(kMargin + textRect.height(), kMargin + rows * kRowPitch - (kRowPitch - kButtonHeight));
    top = std::max(top, kMargin + 32) + kMargin;
    const bool shown = ReportShown();
    if (shown) width = std::max(width, kReportWidth);
    // The buttons keep to the right edge, so widening moves them along.
    const int buttonLeft = width - kMargin - buttonWidth;
    icon_->setGeometry(iconLeft, kMargin, 32, 32);
    text_->setGeometry(textLeft, kMargin, buttonLeft - 14 - textLeft, std::max(textRect.height(), 32));
    int row = 0;
    for (TExceptionButton* b : buttons_)
        if (b) b->setGeometry(buttonLeft, kMargin + kRowPitch * row++, buttonWidth, kButtonHeight);
    int height = top;
    if (shown) {
        reportView_->setGeometry(kMargin, top, width - 2 * kMargin, kReportHeight);
        height += kReportHeight + kMargin;
    }
    setFixedSize(width, height);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width / 2, height / 2));
    }
}

void TExceptionBox::StopCountdown() {
    countdownTimer_->stop();
    if (TExceptionButton* b = Button(countdown_)) b->SetProgress(-1);
    countdown_ = -1;
}

void TExceptionBox::CountdownTick() {
    TExceptionButton* button = Button(countdown_);
    if (button == nullptr) return;
    const double total = Settings().Countdown * 1000.0;
    const double elapsed =
        double(std::chrono::duration_cast<std::chrono::milliseconds>(clock_() - countdownStart_).count());
    button->SetProgress(elapsed / total);
    if (elapsed < total) return;
    const int action = countdown_;
    countdownTimer_->stop();
    // Posted, like a click: the tick's own handling finishes first.
    QTimer::singleShot(0, this, [this, action] {
        if (TExceptionButton* b = Button(action)) b->click();
    });
}

void TExceptionBox::ButtonClicked(int action) {
    StopCountdown();
    if (busy_ || ending_) return;
    busy_ = true;
    for (TExceptionButton* b : buttons_)
        if (b) b->setEnabled(false);
    setCursor(Qt::BusyCursor);
    run_(TAction(action));
}

void TExceptionBox::ActionDone(TAction action, bool succeeded, const std::string& report) {
    busy_ = false;
    report_ = report;
    unsetCursor();
    for (TExceptionButton* b : buttons_)
        if (b) b->setEnabled(true);
    const TSettingsBlock& settings = Settings();
    switch (action) {
    case actSave:
        QApplication::beep();
        // An absolute file name cannot take a second save of this report.
        if (succeeded && !settings.ReportFile.empty() && settings.ReportFile[0] == '/') {
            delete buttons_[actSave];
            buttons_[actSave] = nullptr;
            Relayout();
        }
        break;
    case actPrint: QApplication::beep(); break;
    case actShow:
        if (settings.CopyOnShow && QGuiApplication::clipboard())
            QGuiApplication::clipboard()->setText(QString::fromStdString(report_));
        reportView_->setPlainText(QString::fromStdString(report_));
        reportView_->setVisible(true);
        delete buttons_[actShow];
        buttons_[actShow] = nullptr;
        Relayout();
        break;
    case actContinue:
    case actRestart:
    case actClose:
        ending_ = true;
        done(int(action));
        break;
    default: break;
    }
}

void TExceptionBox::reject() {
    if (ending_) return;
    const int action = CloseRequestAction(Settings().FocusButton, PresentButtons(Settings()), exception_.CanContinue);
    if (action < 0) return;
    ButtonClicked(action);
}

TProgressPopup::TProgressPopup()
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    QFont small = font();
    small.setFamily("Arial");
    small.setPixelSize(12);
    setFont(small);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 800, 600);
    const int width = std::max(area.width() / 2, 100);
    setGeometry(area.x() + (area.width() - width) / 2, area.y() + (area.height() - 23) / 2, width, 23);
}

void TProgressPopup::SetPosition(int position) {
    position = std::clamp(position, 0, 1000);
    // Redrawn only when the bar or the number moves.
    const int inner = std::max(width() - 8, 0);
    if (position == position_ || (position * inner / 1000 == position_ * inner / 1000 &&
                                  (position + 5) / 10 == (position_ + 5) / 10)) {
        position_ = position;
        return;
    }
    position_ = position;
    update();
}

QString TProgressPopup::Text() const { return QString::number((position_ + 5) / 10) + "%"; }

void TProgressPopup::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& colours = palette();
    painter.fillRect(rect(), colours.color(QPalette::Highlight));
    painter.fillRect(rect().adjusted(1, 1, -1, -1), colours.color(QPalette::Button));
    painter.setPen(Qt::yellow);
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
    const QRect inner = rect().adjusted(4, 4, -4, -4);
    const int filled = inner.width() * position_ / 1000;
    const QRect done(inner.left(), inner.top(), filled, inner.height());
    painter.fillRect(done, colours.color(QPalette::ButtonText));
    const QRect textRect = rect().adjusted(0, 4, -2, 0);
    // The number reads in the highlight colour over the bar, in the text
    // colour over the rest.
    painter.setPen(colours.color(QPalette::ButtonText));
    painter.drawText(textRect, Qt::AlignRight | Qt::AlignTop, Text());
    painter.setClipRect(done);
    painter.setPen(colours.color(QPalette::Highlight));
    painter.drawText(textRect, Qt::AlignRight | Qt::AlignTop, Text());
}

namespace {

// The popup lives on the main thread; the exception thread only posts to it,
// so a main thread that is busy or gone never holds the report.
QPointer<TProgressPopup> g_progressPopup;

void ShowReportProgress(int position) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [position] {
            if (position < 0) {
                delete g_progressPopup.data();
                return;
            }
            if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || DialogHeadless()) return;
            if (g_progressPopup.isNull()) {
                g_progressPopup = new TProgressPopup;
                g_progressPopup->show();
            }
            g_progressPopup->SetPosition(position);
        },
        Qt::QueuedConnection);
}

struct TActionQueue {
    std::mutex Lock;
    std::condition_variable Ready;
    std::deque<TAction> Pending;
};

bool ShowExceptionBox(const TExceptionRecord& exception, std::string& report,
                      const std::function<bool(TAction, std::string&)>& fireActionHandlers, TAction& ended) {
    auto queue = std::make_shared<TActionQueue>();
    // Touched only in the main thread, where the dialog lives.
    QPointer<TExceptionBox> box;
    bool created = false;
    const bool answered = DialogInMainThread([&] {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || DialogHeadless()) return;
        created = true;
        box = new TExceptionBox(exception, report, [queue](TAction action) {
            std::lock_guard<std::mutex> lock(queue->Lock);
            queue->Pending.push_back(action);
            queue->Ready.notify_one();
        });
        box->Start();
    });
    if (!answered || !created) return false;
    // From here on the dialog waits for a person, who may take longer than
    // the bound of the library's own work.
    internal::WatchPause();
    struct TResume {
        ~TResume() { internal::WatchResume(); }
    } resume;

    for (;;) {
        TAction action;
        {
            std::unique_lock<std::mutex> lock(queue->Lock);
            // A main thread held by a fault of its own runs the dialog no
            // more: it is given up, and its report left to be saved.
            while (!queue->Ready.wait_for(lock, std::chrono::milliseconds(50),
                                          [&] { return !queue->Pending.empty(); }))
                if (internal::MainThreadHeld()) return false;
            action = queue->Pending.front();
            queue->Pending.pop_front();
        }
        // The handlers' handled flag cancels only mail, save and print.
        const bool handled = fireActionHandlers ? fireActionHandlers(action, report) : false;
        bool succeeded = true;
        if (action == actMail) succeeded = !handled && MailBugReport(report, false);
        else if (action == actSave) succeeded = !handled && SaveBugReport(report, false);
        else if (action == actPrint) succeeded = false;  // no printing on this system
        const bool ends = action == actContinue || action == actRestart || action == actClose;
        const bool alive = DialogInMainThread([&] {
            if (box.isNull()) return;
            box->ActionDone(action, succeeded, report);
            if (ends) box->deleteLater();
        });
        if (ends || !alive) {
            ended = ends ? action : AutomaticAction(exception);
            return true;
        }
    }
}

std::string AskReportFile(const std::string& caption, const std::string& path) {
    // Without a display nobody could answer the question.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) || platform::IsHeadless()) return {};
    return QFileDialog::getSaveFileName(nullptr, QString::fromStdString(caption), QString::fromStdString(path),
                                        "*.txt", nullptr, QFileDialog::DontConfirmOverwrite)
        .toStdString();
}

bool ShowResultBox(const std::string& caption, const std::string& text, bool sent) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || platform::IsHeadless()) return false;
    QString body = QString::fromStdString(text);
    body.replace("\r\n", "\n");
    QMessageBox box(sent ? QMessageBox::Information : QMessageBox::Critical, QString::fromStdString(caption), body,
                    QMessageBox::Ok, QApplication::activeModalWidget());
    box.exec();
    return true;
}

void SetClipboard(const std::string& text) {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

bool ScreenMode(int& width, int& height, int& depth) {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    QScreen* screen = app ? QGuiApplication::primaryScreen() : nullptr;
    if (screen == nullptr) return false;
    width = screen->size().width();
    height = screen->size().height();
    depth = screen->depth();
    return true;
}

}  // namespace

void InstallExceptionWindows() {
    SetWindowHooks({ShowExceptionBox, AskReportFile, ShowResultBox, SetClipboard, ScreenMode, ShowReportProgress});
}

}  // namespace zelExcept
