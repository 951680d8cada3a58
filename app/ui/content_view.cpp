#include "content_view.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "app_delegate.h"
#include "capsule_button.h"
#include "engine_controller.h"
#include "last_seen.h"
#include "level_bar.h"
#include "pairing.h"
#include "qr_card.h"
#include "rounded_panel.h"
#include "sonvale_protocol.h"
#include "status_dot.h"
#include "stream_diagnostics_view.h"
#include "symbol_label.h"
#include "theme.h"
#include "typography.h"
#include "window_settings.h"

namespace {

using Typography::Design;

QLabel* makeText(const QString& text, const QFont& font, const QColor& color, const char* name = nullptr) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);  // addresses and error texts are never markup
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    if (name) label->setObjectName(QLatin1String(name));
    return label;
}

bool isRunning(const EngineState& state) {
    return state.kind() == EngineState::Kind::Running;
}

}  // namespace

ContentView::ContentView(EngineController& engine, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      choice_(WindowSettings::browserChosen() ? Choice::Browser : Choice::PhoneApp) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Theme::background());
    setPalette(palette);

    root_ = new QVBoxLayout(this);
    root_->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    root_->setSpacing(0);
    header_ = header();
    root_->addWidget(header_, 0, Qt::AlignHCenter);
    // The card's widget reaches beyond its slot (shadow above, caption below).
    addGap(kSpacing - QrCard::kOverhangTop, 0);
    root_->addWidget(qrCard(), 0, Qt::AlignHCenter);
    addGap(kSpacing - QrCard::kOverhangBottom, kCompactSpacing / 2);
    root_->addWidget(choiceRow(), 0, Qt::AlignHCenter);
    addGap(kSpacing, kCompactSpacing);
    root_->addWidget(addressRow(), 0, Qt::AlignHCenter);
    addGap(kSpacing, kCompactSpacing);
    root_->addWidget(engineRow());
    addGap(kSpacing, kCompactSpacing);
    root_->addWidget(deviceNote(), 0, Qt::AlignHCenter);
    addGap(kSpacing, kCompactSpacing);
    root_->addStretch(1);  // extra height goes above the level section
    addGap(kSpacing, kCompactSpacing);
    root_->addWidget(levelSection());

    connect(&engine_, &EngineController::stateChanged, this, &ContentView::showEngineState);
    connect(&monitor_, &AudioMonitor::levelChanged, levelBar_, &LevelBar::setLevel);
    connect(&monitor_, &AudioMonitor::isRunningChanged, testButton_, &QWidget::setEnabled);
    connect(&monitor_, &AudioMonitor::isTestingChanged, this, &ContentView::showTesting);
    connect(&monitor_, &AudioMonitor::isReceivingChanged, this, &ContentView::showStreaming);
    connect(&watch_, &SystemWatch::changed, this, &ContentView::refresh);

    refresh();
    showEngineState();
    showCopied();
    showTesting();
    showStreaming();
    testButton_->setEnabled(monitor_.isRunning());
}

ContentView::~ContentView() = default;

void ContentView::appear() {
    refresh();
    engine_.start();
    monitor_.start();
}

void ContentView::disappear() {
    monitor_.stop();
}

QString ContentView::pairingURL() const {
    return makePairingURL(host(), sonvale::kAudioPort, facts().computerName, engine_.pin());
}

QString ContentView::browserURL() const {
    return makeBrowserURL(host(), engine_.pin());
}

void ContentView::choose(Choice choice) {
    choice_ = choice;
    showPairing();
    // Not remembered is no failure worth a word: the card shows the choice all the same.
    WindowSettings::setBrowserChosen(choice == Choice::Browser);
}

QString ContentView::statusText(const EngineState& state) {
    switch (state.kind()) {
        case EngineState::Kind::Stopped:
            return tr("Engine stopped");
        case EngineState::Kind::Running:
            return tr("Engine running");
        case EngineState::Kind::Missing:
            return tr("Engine binary missing");
        case EngineState::Kind::Failed:
            return tr("Engine failed: ") + state.message();
    }
    return {};
}

QString ContentView::pairingPausedText(const QDateTime& until) {
    return tr("Someone on the network is trying PINs: pairing paused until %1")
        .arg(until.toLocalTime().toString(QStringLiteral("HH:mm")));
}

void ContentView::showPairingPaused(const QDateTime& until) {
    pairingPaused_->setText(until.isValid() ? pairingPausedText(until) : QString());
    pairingPaused_->setVisible(until.isValid());
}

QString ContentView::streamingText(const std::optional<QString>& browserPhone, bool audioArrives) {
    if (browserPhone)
        return tr("%1 is streaming through the browser")
            .arg(browserPhone->isEmpty() ? tr("A phone") : *browserPhone);
    if (audioArrives) return tr("A phone is streaming through the Tarnwell app");
    return tr("No phone is streaming");
}

void ContentView::showBrowserStream(const std::optional<QString>& phone) {
    browserPhone_ = phone;
    showStreaming();
}

void ContentView::setCompact(bool compact) {
    compact_ = compact;
    const int padding = compact ? kCompactPadding : kPadding;
    root_->setContentsMargins(padding, padding, padding, padding);
    for (const Gap& gap : gaps_)
        gap.item->changeSize(0, compact ? gap.compact : gap.full, QSizePolicy::Minimum, QSizePolicy::Fixed);
    qrCard_->setCodeSize(compact ? QrCard::kCompactCodeSize : QrCard::kCodeSize);
    // The window's title names it already.
    header_->setVisible(!compact);
    pinRow_->setDirection(compact ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
    showPhoneList();
    root_->invalidate();
    updateGeometry();
}

void ContentView::addGap(int full, int compact) {
    auto* item = new QSpacerItem(0, full, QSizePolicy::Minimum, QSizePolicy::Fixed);
    root_->addSpacerItem(item);
    gaps_.push_back({item, full, compact});
}

QColor ContentView::statusColor(const EngineState& state) {
    switch (state.kind()) {
        case EngineState::Kind::Stopped:
            return Theme::textSecondary();
        case EngineState::Kind::Running:
            return Theme::accent();
        case EngineState::Kind::Missing:
        case EngineState::Kind::Failed:
            return Theme::danger();
    }
    return Theme::danger();
}

QSize ContentView::sizeHint() const {
    return layout()->sizeHint().expandedTo(QSize(kMinimumWidth, kMinimumHeight));
}

QSize ContentView::minimumSizeHint() const {
    return layout()->minimumSize().expandedTo(QSize(kMinimumWidth, kMinimumHeight));
}

void ContentView::refresh() {
    showPairing();
    showDevice();
}

void ContentView::copyURL() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(choice_ == Choice::Browser ? browserURL() : pairingURL());
    setCopied(true);
    // Nothing is cancelled: after quick copies the label returns 1.6 s after the first.
    QTimer::singleShot(kCopiedDuration, this, [this] { setCopied(false); });
}

void ContentView::toggleEngine() {
    if (isRunning(engine_.state()))
        engine_.stop();
    else
        engine_.start();
}

void ContentView::setCopied(bool copied) {
    copied_ = copied;
    showCopied();
}

QWidget* ContentView::header() {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(makeText(tr("Tarnwell"), Typography::system(26, QFont::Bold, Design::Rounded),
                               Theme::textPrimary(), "title"),
                      0, Qt::AlignHCenter);
    layout->addWidget(makeText(tr("Turn your iPhone into this PC's microphone"),
                               Typography::system(13, QFont::Medium), Theme::textSecondary(), "subtitle"),
                      0, Qt::AlignHCenter);
    return box;
}

QWidget* ContentView::qrCard() {
    qrCard_ = new QrCard;
    qrCard_->setObjectName(QStringLiteral("qrCard"));
    return qrCard_;
}

QWidget* ContentView::choiceRow() {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto makeChoice = [&](const QString& text, Choice choice, const char* name) {
        auto* button = new CapsuleButton(Typography::system(12, QFont::DemiBold), QMargins(12, 6, 12, 6));
        button->setObjectName(QLatin1String(name));
        button->setLabel(text);
        connect(button, &QAbstractButton::clicked, this, [this, choice] { choose(choice); });
        layout->addWidget(button);
        return button;
    };
    phoneAppChoice_ = makeChoice(tr("Phone app"), Choice::PhoneApp, "phoneAppChoice");
    browserChoice_ = makeChoice(tr("Browser"), Choice::Browser, "browserChoice");
    return box;
}

QWidget* ContentView::addressRow() {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    hostText_ = makeText(QString(), Typography::system(15, QFont::DemiBold, Design::Monospaced),
                         Theme::textPrimary(), "hostText");
    layout->addWidget(hostText_, 0, Qt::AlignHCenter);

    auto* pill = new RoundedPanel(Theme::surface(), RoundedPanel::kCapsule);
    pill->setObjectName(QStringLiteral("pinPill"));
    auto* pillLayout = new QHBoxLayout(pill);
    pillLayout->setContentsMargins(12, 6, 12, 6);
    pillLayout->setSpacing(8);
    pillLayout->addWidget(
        makeText(tr("PIN"), Typography::system(11, QFont::DemiBold), Theme::textSecondary()), 0,
        Qt::AlignVCenter);
    QFont pinFont = Typography::system(15, QFont::Bold, Design::Monospaced);
    pinFont.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    pinText_ = makeText(engine_.pin(), pinFont, Theme::textPrimary(), "pinText");
    pillLayout->addWidget(pinText_, 0, Qt::AlignVCenter);
    // The PIN above the copy button; beside it on a short screen.
    pinRow_ = new QBoxLayout(QBoxLayout::TopToBottom);
    pinRow_->setSpacing(10);
    pinRow_->addWidget(pill, 0, Qt::AlignCenter);

    copyButton_ = new CapsuleButton(Typography::system(13, QFont::DemiBold), QMargins(16, 8, 16, 8));
    copyButton_->setObjectName(QStringLiteral("copyButton"));
    copyButton_->setColors(Theme::background(), Theme::accent());
    connect(copyButton_, &QAbstractButton::clicked, this, &ContentView::copyURL);
    pinRow_->addWidget(copyButton_, 0, Qt::AlignCenter);
    layout->addLayout(pinRow_);

    // Said before the phone says it, so that its full-page warning is expected.
    certificateNote_ = makeText(tr("The phone warns once that this computer signs its own certificate: "
                                   "tap Advanced or Show Details, then go on to the address."),
                                Typography::system(11), Theme::textSecondary(), "certificateNote");
    certificateNote_->setWordWrap(true);
    certificateNote_->setAlignment(Qt::AlignHCenter);
    layout->addWidget(certificateNote_);

    pairingPaused_ =
        makeText(QString(), Typography::system(12, QFont::Medium), Theme::danger(), "pairingPaused");
    pairingPaused_->setWordWrap(true);
    pairingPaused_->setAlignment(Qt::AlignHCenter);
    pairingPaused_->hide();
    layout->addWidget(pairingPaused_);
    layout->addWidget(phonesSection());
    return box;
}

QWidget* ContentView::phonesSection() {
    phonesSection_ = new RoundedPanel(Theme::surface(), 12);
    phonesSection_->setObjectName(QStringLiteral("pairedPhones"));
    auto* layout = new QVBoxLayout(phonesSection_);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(6);
    auto* top = new QHBoxLayout;
    top->addWidget(
        makeText(tr("Remembered phones"), Typography::system(11, QFont::DemiBold), Theme::textSecondary()));
    top->addStretch(1);
    // A short screen keeps the list folded until asked, so that the meter stays in sight.
    phoneListToggle_ = new CapsuleButton(Typography::system(11, QFont::DemiBold), QMargins(10, 2, 10, 2));
    phoneListToggle_->setObjectName(QStringLiteral("phoneListToggle"));
    phoneListToggle_->setColors(Theme::accent(), Theme::withOpacity(Theme::accent(), 0.14));
    connect(phoneListToggle_, &QAbstractButton::clicked, this, [this] {
        phoneListOpen_ = !phoneListOpen_;
        showPhoneList();
    });
    top->addWidget(phoneListToggle_);
    layout->addLayout(top);
    phoneList_ = new QWidget;
    phoneRows_ = new QVBoxLayout(phoneList_);
    phoneRows_->setContentsMargins(0, 0, 0, 0);
    phoneRows_->setSpacing(6);
    layout->addWidget(phoneList_);
    forgetError_ = makeText(QString(), Typography::system(11, QFont::Medium), Theme::danger(), "forgetError");
    forgetError_->setWordWrap(true);
    forgetError_->hide();
    layout->addWidget(forgetError_);
    phonesSection_->hide();
    return phonesSection_;
}

void ContentView::showPairedPhones(const std::vector<GatewayEvent::Phone>& phones) {
    // Rebuilt whole: the list is short and changes only when the gateway says so.
    while (QLayoutItem* item = phoneRows_->takeAt(0)) {
        if (QWidget* row = item->widget()) {
            row->hide();
            row->deleteLater();  // a row may be the sender of the click that led here
        }
        delete item;
    }
    const QDateTime now = QDateTime::currentDateTime();
    for (const GatewayEvent::Phone& phone : phones) {
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        layout->addWidget(makeText(phone.name.isEmpty() ? tr("Unknown browser") : phone.name,
                                   Typography::system(13, QFont::Medium), Theme::textPrimary(), "phoneName"),
                          0, Qt::AlignVCenter);
        layout->addWidget(makeText(lastSeenText(phone.lastSeen, now), Typography::system(11),
                                   Theme::textSecondary(), "phoneLastSeen"),
                          0, Qt::AlignVCenter);
        layout->addStretch(1);
        auto* button = new CapsuleButton(Typography::system(11, QFont::DemiBold), QMargins(10, 4, 10, 4));
        button->setObjectName(QStringLiteral("forgetButton"));
        button->setLabel(tr("Forget"));
        button->setColors(Theme::danger(), Theme::withOpacity(Theme::danger(), 0.16));
        connect(button, &QAbstractButton::clicked, this,
                [this, id = phone.id, button] { forget(id, button); });
        layout->addWidget(button, 0, Qt::AlignVCenter);
        phoneRows_->addWidget(row);
    }
    forgetError_->hide();
    phonesSection_->setVisible(!phones.empty());
    showPhoneList();
}

void ContentView::showPhoneList() {
    phoneList_->setVisible(!compact_ || phoneListOpen_);
    phoneListToggle_->setVisible(compact_);
    phoneListToggle_->setLabel(phoneListOpen_ ? tr("Hide") : tr("Show %1").arg(phoneRows_->count()));
}

void ContentView::forget(const QString& id, CapsuleButton* button) {
    QString error;
    if (AppDelegate::forgetPhone(id, error)) {
        // The row goes when the gateway lists the phones again.
        button->setEnabled(false);
        forgetError_->hide();
    } else {
        forgetError_->setText(tr("Could not forget the phone: ") + error);
        forgetError_->show();
    }
}

QWidget* ContentView::engineRow() {
    auto* row = new RoundedPanel(Theme::surface(), 14);
    row->setObjectName(QStringLiteral("engineRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(14);
    statusDot_ = new StatusDot;
    statusDot_->setObjectName(QStringLiteral("statusDot"));
    layout->addWidget(statusDot_, 0, Qt::AlignVCenter);
    statusText_ =
        makeText(QString(), Typography::system(14, QFont::Medium), Theme::textPrimary(), "statusText");
    statusText_->setWordWrap(true);  // a long failure message wraps instead of widening the window
    layout->addWidget(statusText_, 1, Qt::AlignVCenter);
    engineButton_ = new CapsuleButton(Typography::system(13, QFont::DemiBold), QMargins(0, 8, 0, 8));
    engineButton_->setObjectName(QStringLiteral("engineButton"));
    engineButton_->setTextFrameWidth(96);
    connect(engineButton_, &QAbstractButton::clicked, this, &ContentView::toggleEngine);
    layout->addWidget(engineButton_, 0, Qt::AlignVCenter);
    return row;
}

QWidget* ContentView::deviceNote() {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    deviceIcon_ = new SymbolLabel(Symbol::WarningFill, Theme::danger(), 12);
    deviceIcon_->setObjectName(QStringLiteral("deviceIcon"));
    layout->addWidget(deviceIcon_, 0, Qt::AlignVCenter);
    deviceText_ = makeText(QString(), Typography::system(12), Theme::textSecondary(), "deviceText");
    layout->addWidget(deviceText_, 0, Qt::AlignVCenter);
    return box;
}

QWidget* ContentView::levelSection() {
    auto* section = new QWidget;
    section->setObjectName(QStringLiteral("levelSection"));
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    streamingText_ =
        makeText(QString(), Typography::system(13, QFont::DemiBold), Theme::textPrimary(), "streamingText");
    streamingText_->setWordWrap(true);
    layout->addWidget(streamingText_);

    auto* top = new QHBoxLayout;
    top->addWidget(
        makeText(tr("Input level"), Typography::system(12, QFont::DemiBold), Theme::textSecondary()), 0,
        Qt::AlignVCenter);
    top->addStretch(1);
    testButton_ = new CapsuleButton(Typography::system(12, QFont::DemiBold), QMargins(12, 6, 12, 6));
    testButton_->setObjectName(QStringLiteral("testButton"));
    connect(testButton_, &QAbstractButton::clicked, this,
            [this] { monitor_.setTesting(!monitor_.isTesting()); });
    top->addWidget(testButton_, 0, Qt::AlignVCenter);
    layout->addLayout(top);

    levelBar_ = new LevelBar;
    levelBar_->setObjectName(QStringLiteral("levelBar"));
    layout->addWidget(levelBar_);

    echoWarning_ = makeText(tr("May cause echo through speakers"), Typography::system(10),
                            Theme::textSecondary(), "echoWarning");
    // Its room is kept while hidden: turning the test on never grows the window.
    QSizePolicy policy = echoWarning_->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    echoWarning_->setSizePolicy(policy);
    layout->addWidget(echoWarning_, 0, Qt::AlignLeft);
    layout->addWidget(diagnostics_ = new StreamDiagnosticsView);
    return section;
}

void ContentView::showPairing() {
    const bool online = facts().address.has_value();
    const bool browser = choice_ == Choice::Browser;
    // The browser's way in is a link a person may type: it is shown in full, a
    // little smaller so that the longest address still fits the narrowest window.
    hostText_->setText(!online ? tr("No network") : browser ? browserURL() : host());
    hostText_->setFont(Typography::system(browser ? 13 : 15, QFont::DemiBold, Design::Monospaced));
    hostText_->setTextInteractionFlags(browser ? Qt::TextSelectableByMouse : Qt::NoTextInteraction);
    // A code without an address could never work: the card says why instead.
    if (online)
        qrCard_->setURL(browser ? browserURL() : pairingURL(),
                        browser ? QrCard::Caption::Browser : QrCard::Caption::PhoneApp);
    else
        qrCard_->setNoNetwork();
    copyButton_->setEnabled(online);
    certificateNote_->setVisible(browser && online);
    showCopied();
    auto mark = [](CapsuleButton* button, bool chosen) {
        if (chosen)
            button->setColors(Theme::background(), Theme::accent());
        else
            button->setColors(Theme::accent(), Theme::withOpacity(Theme::accent(), 0.14));
    };
    mark(phoneAppChoice_, !browser);
    mark(browserChoice_, browser);
}

void ContentView::showEngineState() {
    const EngineState state = engine_.state();
    statusDot_->setColor(statusColor(state));
    statusText_->setText(statusText(state));
    if (isRunning(state)) {
        engineButton_->setLabel(tr("Stop engine"));
        engineButton_->setColors(Theme::danger(), Theme::withOpacity(Theme::danger(), 0.16));
    } else {
        engineButton_->setLabel(tr("Start engine"));
        engineButton_->setColors(Theme::background(), Theme::accent());
    }
    engineButton_->setEnabled(state.kind() != EngineState::Kind::Missing);
}

void ContentView::showDevice() {
    if (devicePresent()) {
        deviceIcon_->setSymbol(Symbol::SealCheckFill, Theme::accent());
        deviceText_->setText(tr("\"Tarnwell\" microphone is available"));
    } else {
        deviceIcon_->setSymbol(Symbol::WarningFill, Theme::danger());
        deviceText_->setText(tr("\"Tarnwell\" microphone not found"));
    }
}

void ContentView::showCopied() {
    if (copied_)
        copyButton_->setLabel(tr("Copied"), Symbol::CheckCircleFill);
    else if (choice_ == Choice::Browser)
        copyButton_->setLabel(tr("Copy link"), Symbol::DocOnDoc);
    else
        copyButton_->setLabel(tr("Copy URL"), Symbol::DocOnDoc);
}

void ContentView::showStreaming() {
    const bool streaming = browserPhone_ || monitor_.isReceiving();
    streamingText_->setText(streamingText(browserPhone_, monitor_.isReceiving()));
    QPalette palette = streamingText_->palette();
    palette.setColor(QPalette::WindowText, streaming ? Theme::accent() : Theme::textSecondary());
    streamingText_->setPalette(palette);
}

void ContentView::showTesting() {
    const bool testing = monitor_.isTesting();
    if (testing) {
        testButton_->setLabel(tr("Testing"), Symbol::SpeakerWave2Fill);
        testButton_->setColors(Theme::background(), Theme::accent());
    } else {
        testButton_->setLabel(tr("Test"), Symbol::SpeakerWave2);
        testButton_->setColors(Theme::accent(), Theme::withOpacity(Theme::accent(), 0.14));
    }
    echoWarning_->setVisible(testing);
}
