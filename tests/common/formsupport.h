#pragma once

// Helpers for the tests that drive the window. Only those link the window,
// so these stay out of the testsupport library.

#include "form1.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocumentFragment>

namespace pelktest {

// Types the upstream `host` and `port` into the window, and listen port 0 so
// that the system chooses one.
inline void fillForm(pelk::Form1 &form, const QString &host, const QString &port)
{
    form.listport->setText(QStringLiteral("0"));
    form.bounce_server->setText(host);
    form.bounce_port->setText(port);
}

// fillForm(), then presses Start. The port the relay listens on, 0 when Start
// failed.
inline quint16 startForm(pelk::Form1 &form, const QString &host, const QString &port)
{
    fillForm(form, host, port);
    form.cmd_startstop->click();
    return form.running ? quint16(form.relay.Winsock1(0).LocalPort()) : 0;
}

// A widget's tooltip as a person reads it, without markup.
inline QString plainToolTip(const QWidget *widget)
{
    const QString tip = widget->toolTip();
    return Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
}

} // namespace pelktest

// QTEST_MAIN for the tests of the window, on the program's event loop.
#define PELKTEST_MAIN(TestObject) PELKTEST_MAIN_WITH(QApplication, TestObject)
