#include "tests/app/properties_support.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

template <class T> T* controlOf(PortPropertiesDialog& dialog, int id) {
    auto* control = qobject_cast<T*>(dialog.control(id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
}

void choose(QComboBox* combo, const std::string& item) {
    combo->setCurrentIndex(item.empty() ? -1 : combo->findText(QString::fromStdString(item)));
}

// QTest maps only ASCII to keys; other characters arrive as text alone, as from an
// input method.
void typeMore(QLineEdit* edit, const QString& text) {
    for (QChar ch : text) {
        if (ch.unicode() < 0x80)
            QTest::keyClick(edit, char(ch.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

void type(QLineEdit* edit, const std::string& text) {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    typeMore(edit, QString::fromStdString(text));
}

} // namespace

void typeInto(PortPropertiesDialog& dialog, int id, const QString& text) {
    typeMore(controlOf<QLineEdit>(dialog, id), text);
}

void fill(PortPropertiesDialog& dialog, const Fields& fields) {
    choose(controlOf<QComboBox>(dialog, IDC_COM_PORT), fields.com);
    type(controlOf<QLineEdit>(dialog, IDC_HOST_ADDRESS), fields.address);
    choose(controlOf<QComboBox>(dialog, IDC_PORT_NO),
           fields.portNo ? std::to_string(fields.portNo) : "");
    type(controlOf<QLineEdit>(dialog, IDC_HOST_DESCRIPTION), fields.description);
}

void press(PortPropertiesDialog& dialog, int id) {
    QTest::mouseClick(controlOf<QPushButton>(dialog, id), Qt::LeftButton);
}

Fields shown(PortPropertiesDialog& dialog) {
    QString port = controlOf<QComboBox>(dialog, IDC_PORT_NO)->currentText();
    return {controlOf<QComboBox>(dialog, IDC_COM_PORT)->currentText().toStdString(),
            controlOf<QLineEdit>(dialog, IDC_HOST_ADDRESS)->text().toStdString(),
            port.isEmpty() ? 0 : port.toInt(),
            controlOf<QLineEdit>(dialog, IDC_HOST_DESCRIPTION)->text().toStdString()};
}

void whenPropertiesOpen(std::function<void(PortPropertiesDialog&)> script) {
    QTimer::singleShot(0, [script = std::move(script)] {
        auto* dialog = qobject_cast<PortPropertiesDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            ADD_FAILURE() << "the Port Properties dialog did not open";
            return;
        }
        script(*dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the script left the Port Properties dialog open";
            dialog->reject();
        }
    });
}
