#include "app/Controls.h"

#include "devmsg/DebugPrint.h"
#include "rtl/Exception.h"
#include "rtl/TextCodec.h"
#include "app/TextFile.h"

#include <QMouseEvent>
#include <QPainter>

QFont PixelFont(const QStringList& families, int pixelHeight, bool bold)
{
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QFont SansFont(int pixelHeight, bool bold)
{
    // DejaVu Sans Condensed at 11 pixels sets the layout's captions at their stored widths
    // ("IP Address :" 57, "Password :" 52), as the original bitmap face did.
    return PixelFont({"MS Sans Serif", "DejaVu Sans Condensed", "Liberation Sans"}, pixelHeight, bold);
}

QFont ArialFont(int pixelHeight)
{
    return PixelFont({"Arial", "Liberation Sans", "DejaVu Sans"}, pixelHeight);
}

TImage::TImage(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TImage::SetPicture(const QPixmap& picture)
{
    picture_ = picture;
    update();
}

void TImage::paintEvent(QPaintEvent*)
{
    // Drawn unscaled from the top-left corner; a narrower control shows the leftmost columns.
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
}

void TImage::mouseMoveEvent(QMouseEvent* event)
{
    if (OnMouseMove) OnMouseMove(event->buttons(), event->position().toPoint());
}

void TImage::mousePressEvent(QMouseEvent* event)
{
    if (OnMouseDown) OnMouseDown(event->button(), event->position().toPoint());
}

void TImage::mouseReleaseEvent(QMouseEvent* event)
{
    if (OnMouseUp) OnMouseUp(event->button(), event->position().toPoint());
}

TLabel::TLabel(QWidget* parent, bool autoSize) : QLabel(parent), autoSize_(autoSize)
{
    setTextFormat(Qt::PlainText);
}

void TLabel::SetCaption(const QString& caption)
{
    setText(caption);
    if (autoSize_ && !caption.isEmpty()) resize(fontMetrics().horizontalAdvance(caption), height());
}

TLabeledEdit::TLabeledEdit(QWidget* parent, const QString& caption, QSize labelSize, int labelSpacing)
    : QLineEdit(parent), label_(new QLabel(caption, parent)), spacing_(labelSpacing)
{
    label_->setTextFormat(Qt::PlainText);
    label_->resize(labelSize);
    // Set against the edit: the caption's trailing bearing, not its ink, meets the box edge.
    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The stored box was measured with the original bitmap face; narrow the nearest
    // installed face until the caption fits rather than clip it.
    QFont font = label_->font();
    for (int stretch = 100; stretch >= 80; stretch -= 2) {
        font.setStretch(stretch);
        const QRect ink = QFontMetrics(font).tightBoundingRect(caption);
        if (ink.width() + 1 <= labelSize.width()) break;
    }
    label_->setFont(font);
    label_->setBuddy(this);
}

void TLabeledEdit::PlaceLabel()
{
    label_->move(x() - label_->width() - spacing_, y() + (height() - label_->height()) / 2);
}

void TLabeledEdit::setVisible(bool visible)
{
    QLineEdit::setVisible(visible);
    label_->setVisible(visible);
}

void TLabeledEdit::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange) label_->setEnabled(isEnabled());
    QLineEdit::changeEvent(event);
}

void TLabeledEdit::moveEvent(QMoveEvent* event)
{
    PlaceLabel();
    QLineEdit::moveEvent(event);
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    document()->setDocumentMargin(1);
}

void TMemo::LoadFromFile(const std::string& path)
{
    const std::optional<app::TextFileContent> file = app::ReadTextFile(path);
    if (!file) throw EFOpenError("Cannot open file " + path);
    if (file->truncated) ReportShortenedRead(path);
    QString text = QString::fromStdString(rtl::TextAsUtf8(file->bytes));
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    if (text.endsWith('\n')) text.chop(1);
    setPlainText(text);
}

QStringList TMemo::Lines() const
{
    const QString text = toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

void ReportShortenedRead(const std::string& path)
{
    DebugPrint("[FTPUPG]%s is longer than %zu bytes; only its start is read\n", path.c_str(),
               app::MaxTextFileBytes);
}
