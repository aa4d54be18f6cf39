// Thin widgets that give the main window's controls the behaviour its layout relies on:
// pictures drawn unscaled and clipped, self-sizing labels, edits that carry their label.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>

inline const QColor SkinColour(113, 105, 165);
inline const QColor KeyRed(255, 0, 0);

// Font of the given family list at a pixel height (layout heights are pixels, not points).
QFont PixelFont(const QStringList& families, int pixelHeight, bool bold = false);
QFont SansFont(int pixelHeight, bool bold = false); // "MS Sans Serif" or its nearest sans
QFont ArialFont(int pixelHeight);                   // "Arial" or a metric-compatible face

class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent);
    void SetPicture(const QPixmap& picture);
    const QPixmap& Picture() const { return picture_; }

    std::function<void(Qt::MouseButtons, QPoint)> OnMouseMove;
    std::function<void(Qt::MouseButton, QPoint)> OnMouseDown;
    std::function<void(Qt::MouseButton, QPoint)> OnMouseUp;

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPixmap picture_;
};

// A label that sizes itself to its text, growing to the right.
class TLabel : public QLabel {
    Q_OBJECT
public:
    TLabel(QWidget* parent, bool autoSize);
    void SetCaption(const QString& caption);

private:
    bool autoSize_;
};

// An edit with its label on the left: the label follows the edit's place, visibility and
// enabled state.
class TLabeledEdit : public QLineEdit {
    Q_OBJECT
public:
    TLabeledEdit(QWidget* parent, const QString& caption, QSize labelSize, int labelSpacing);
    QLabel* EditLabel() const { return label_; }
    void PlaceLabel();
    void setVisible(bool visible) override;

protected:
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    QLabel* label_;
    int spacing_;
};

class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent);
    // Replaces the lines with those of a text file (UTF-8 or Windows-1252); raises
    // EFOpenError when it is missing, unreadable or not a regular file.
    void LoadFromFile(const std::string& path);
    QStringList Lines() const;
};

// One diagnostic line: only the start of a file was read (ReadTextFile's cap).
void ReportShortenedRead(const std::string& path);
