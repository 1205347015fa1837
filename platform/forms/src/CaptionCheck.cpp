// The caption check of the test hooks. A caption is measured in its control's own font and
// placed where the toolkit's style draws it; the room it may take is what the control gives
// it (a button's frame, the space beside a check mark, a label's box), and the controls
// beside it must stay clear of it.

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>

#include <optional>

#include "Forms.h"
#include "FormsTesting.h"
#include "QtSide.h"
#include "SysUtils.h"

namespace {

// Where a caption is drawn and the room its control gives it, in the coordinates of the
// container whose other controls are its neighbours.
struct TCaptionPlace {
    std::string Who;
    QString Text;
    QRect TextRect;
    QRect Room;
};

std::string NameOf(const TControl* control) {
    return control->Name().empty() ? control->ClassName() : control->Name();
}

std::string Span(const QRect& r) {
    return Format("x %d..%d, y %d..%d", r.left(), r.left() + r.width(), r.top(), r.top() + r.height());
}

QRect Placed(const QRect& room, const QSize& text, Qt::Alignment alignment) {
    return QStyle::alignedRect(Qt::LeftToRight, alignment, text, room);
}

TCaptionPlace LabelPlace(const TControl* control, const QLabel* label) {
    const QRect room = label->contentsRect().translated(label->pos());
    const QSize text = label->fontMetrics().size(0, label->text());
    return {NameOf(control), label->text(), Placed(room, text, label->alignment()), room};
}

// Buttons, check boxes and radio buttons draw an accelerator as an underline, not as "&".
TCaptionPlace ButtonPlace(const TControl* control, const QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    Qt::Alignment alignment = Qt::AlignCenter;
    if (qobject_cast<const QCheckBox*>(button)) {
        contents = QStyle::SE_CheckBoxContents;
        alignment = Qt::AlignLeft | Qt::AlignVCenter;
    } else if (qobject_cast<const QRadioButton*>(button)) {
        contents = QStyle::SE_RadioButtonContents;
        alignment = Qt::AlignLeft | Qt::AlignVCenter;
    } else if (const auto* push = qobject_cast<const QPushButton*>(button)) {
        if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    }
    const QRect room = button->style()->subElementRect(contents, &option, button).translated(button->pos());
    const QSize text = button->fontMetrics().size(Qt::TextShowMnemonic, button->text());
    return {NameOf(control), button->text(), Placed(room, text, alignment), room};
}

// The title in the box's own coordinates; it may take the width of the box.
std::optional<TCaptionPlace> TitlePlace(const TControl* control, const QGroupBox* box) {
    if (box->title().isEmpty()) return std::nullopt;
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.lineWidth = 1;
    option.textAlignment = box->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (box->isFlat()) option.features |= QStyleOptionFrame::Flat;
    const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    const QSize text = box->fontMetrics().size(Qt::TextShowMnemonic, box->title());
    return TCaptionPlace{NameOf(control) + " (title)", box->title(), Placed(label, text, Qt::AlignCenter), box->rect()};
}

std::optional<TCaptionPlace> CaptionPlace(const TControl* control) {
    const QWidget* widget = control->Widget().Widget;
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return LabelPlace(control, label);
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return ButtonPlace(control, button);
    if (const auto* box = qobject_cast<const QGroupBox*>(widget)) {
        std::optional<TCaptionPlace> title = TitlePlace(control, box);
        if (title) {
            title->TextRect.translate(box->pos());
            title->Room.translate(box->pos());
        }
        return title;
    }
    return std::nullopt;
}

class TCaptionChecker {
public:
    void Check(const TWinControl* container) {
        const QWidget* widget = container->Widget().Widget;
        std::vector<const TControl*> shown;
        for (int i = 0; i < container->ControlCount(); ++i) {
            const TControl* child = container->Controls(i);
            if (child->Widget().Widget && !child->Widget().Widget->isHidden()) shown.push_back(child);
        }
        if (const auto* box = qobject_cast<const QGroupBox*>(widget))
            if (std::optional<TCaptionPlace> title = TitlePlace(container, box)) CheckNeighbours(*title, nullptr, shown);
        const QRect area = widget->rect();
        for (const TControl* child : shown) {
            if (std::optional<TCaptionPlace> place = CaptionPlace(child)) {
                CheckFit(*place);
                if (!area.contains(place->TextRect))
                    Add(*place, "runs out of " + NameOf(container) + " (" + Span(area) + ")");
                CheckNeighbours(*place, child, shown);
            }
            if (const auto* inner = dynamic_cast<const TWinControl*>(child)) Check(inner);
        }
    }
    const std::vector<std::string>& Problems() const { return FProblems; }

private:
    void CheckFit(const TCaptionPlace& place) {
        if (place.Room.contains(place.TextRect)) return;
        Add(place, Format("is %d x %d pixels, its control has room for %d x %d", place.TextRect.width(),
                          place.TextRect.height(), place.Room.width(), place.Room.height()));
    }

    void CheckNeighbours(const TCaptionPlace& place, const TControl* own, const std::vector<const TControl*>& controls) {
        for (const TControl* other : controls) {
            if (other == own) continue;
            const QRect bounds = other->Widget().Widget->geometry();
            if (place.TextRect.intersects(bounds))
                Add(place, "overlaps " + NameOf(other) + " (" + Span(bounds) + ")");
        }
    }

    void Add(const TCaptionPlace& place, const std::string& what) {
        FProblems.push_back(place.Who + ": \"" + FromQt(place.Text) + "\" (" + Span(place.TextRect) + ") " + what);
    }

    std::vector<std::string> FProblems;
};

}  // namespace

std::vector<std::string> CaptionProblems(TForm* form) {
    if (!form) return {"there is no form"};
    if (!OnGuiThread()) return {"the captions can be checked on the main thread only"};
    TCaptionChecker checker;
    checker.Check(form);
    return checker.Problems();
}

std::string ProblemLines(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& line : problems) text += "\n  " + line;
    return text;
}
