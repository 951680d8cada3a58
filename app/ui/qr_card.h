#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

// The pairing QR code on a white rounded card with a faint accent border, a drop
// shadow and a caption below it. Without a network the card holds no code, only
// a sentence that says so.
//
// The card's slot in the layout is the card plus kBottomPadding below it; the
// widget is larger than that slot: kOverhangTop above it for the shadow and
// kOverhangBottom below it, where the caption ends 34 below the card. The
// surrounding layout subtracts these from its spacing.
//
// The code is rendered once per URL text (and screen pixel ratio), not on every
// repaint. A short screen takes a smaller code (setCodeSize); padding, shadow
// and caption stay as they are.
class QrCard : public QWidget {
    Q_OBJECT

public:
    static constexpr int kCodeSize = 220;
    static constexpr int kCompactCodeSize = 150;
    static constexpr int kPadding = 18;
    static constexpr double kRadius = 20;
    static constexpr double kBorderOpacity = 0.35;
    static constexpr double kShadowOpacity = 0.35;
    static constexpr int kShadowBlur = 16;
    static constexpr int kShadowOffsetY = 6;
    static constexpr int kShadowExtent = 24;  // how far the blurred shadow reaches
    static constexpr int kCaptionDrop = 34;   // caption bottom below the card bottom
    static constexpr int kCaptionWidth = 260;
    static constexpr int kBottomPadding = 24;
    static constexpr int kOverhangTop = kShadowExtent - kShadowOffsetY;
    static constexpr int kOverhangBottom = kCaptionDrop - kBottomPadding;

    // Who reads the code: the phone app, or any phone's camera and browser.
    enum class Caption { PhoneApp, Browser };

    explicit QrCard(QWidget* parent = nullptr);

    void setURL(const QString& url, Caption caption = Caption::PhoneApp);
    // No code: "This computer has no network".
    void setNoNetwork();
    QString url() const { return url_; }
    QString caption() const;
    void setCodeSize(int size);
    int codeSize() const { return codeSize_; }

    // The card (without shadow and caption) in widget coordinates.
    QRect cardRect() const;
    // Whether the last rendering produced a code (else the card shows a text).
    bool hasCode() const { return !url_.isEmpty() && !code_.isNull(); }
    // How many times a code image was made.
    int codeRenders() const { return codeRenders_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int cardSize() const { return codeSize_ + 2 * kPadding; }
    void ensureCode(qreal devicePixelRatio);
    void ensureShadow(qreal devicePixelRatio);
    QRectF captionRect() const;

    int codeSize_ = kCodeSize;
    QString url_;  // empty: no network
    Caption caption_ = Caption::PhoneApp;
    QImage code_;
    QString codeURL_;
    qreal codeRatio_ = 0;
    bool codeTried_ = false;
    int codeRenders_ = 0;
    QImage shadow_;
    qreal shadowRatio_ = 0;
};
