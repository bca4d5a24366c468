#include "windowrig.h"
#include "widget.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

// The window's form: what a fresh window shows before anyone touches it.
class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void widgets_data();
    void widgets();
    void onlyTheFormsWidgets();
    void windowSizeAndTitle();
    void focusOrderFollowsCreation();
    void noSlotRunsDuringSetUp();
    void slotTable();
    void wideningMovesNothing();
};

void tst_Form::widgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    auto row = [](const char *name, const char *cls, const char *parent, int x, int y, int w, int h,
                  const char *text) {
        QTest::newRow(name) << QString(cls) << QString(parent) << QRect(x, y, w, h)
                            << QString::fromUtf8(text);
    };
    row("groupBox", "QGroupBox", "Widget", 20, 30, 120, 371, "串口设置");
    row("label", "QLabel", "groupBox", 20, 40, 72, 15, "串口号：");
    row("label_2", "QLabel", "groupBox", 10, 90, 72, 15, "波特率：");
    row("label_3", "QLabel", "groupBox", 10, 150, 72, 15, "数据位：");
    row("label_4", "QLabel", "groupBox", 10, 190, 72, 15, "校验位：");
    row("label_5", "QLabel", "groupBox", 20, 250, 72, 15, "停止位：");
    row("label_6", "QLabel", "groupBox", 20, 310, 72, 15, "流控制：");
    row("ComBC", "QComboBox", "groupBox", 10, 60, 87, 22, "");
    row("BaudCB", "QComboBox", "groupBox", 10, 120, 87, 22, "115200");
    row("DataBitsCB", "QComboBox", "groupBox", 10, 170, 87, 22, "8");
    row("ParityCB", "QComboBox", "groupBox", 10, 220, 87, 22, "无校验");
    row("StopCB", "QComboBox", "groupBox", 10, 270, 87, 22, "1");
    row("FlowsCB", "QComboBox", "groupBox", 10, 330, 87, 22, "off");
    row("textEdit_Servce", "QTextEdit", "Widget", 280, 40, 451, 351, "");
    row("CheckBtn", "QPushButton", "Widget", 30, 440, 93, 28, "刷新串口");
    row("ClearBtn", "QPushButton", "Widget", 30, 500, 93, 28, "清空显示");
    row("ConnectBtn", "QPushButton", "Widget", 30, 550, 93, 28, "串口连接");
    row("textEdit_Client", "QTextEdit", "Widget", 170, 446, 561, 131, "");
    row("labelUdp", "QLabel", "Widget", 290, 400, 81, 21, "目标IP地址");
    row("labelUdp1", "QLabel", "Widget", 510, 400, 72, 21, "目标端口");
    row("lEditUdpIP", "QLineEdit", "Widget", 380, 400, 113, 21, "");
    row("lEditUdpPort", "QLineEdit", "Widget", 580, 400, 113, 21, "");
    row("groupBox_2", "QGroupBox", "Widget", 140, 30, 131, 271, "网络设置");
    row("label_7", "QLabel", "groupBox_2", 10, 40, 72, 15, "协议类型");
    row("label_IP", "QLabel", "groupBox_2", 20, 90, 91, 16, "本地IP地址");
    row("label_Port", "QLabel", "groupBox_2", 20, 150, 72, 15, "本地端口");
    row("lEditIpPort", "QLineEdit", "groupBox_2", 10, 180, 113, 21, "8000");
    row("lEditIpAddr", "QLineEdit", "groupBox_2", 10, 120, 113, 21, "192.0.2.10");
    row("cBoxNetType", "QComboBox", "groupBox_2", 10, 60, 111, 22, "UDP");
    row("pBtnNetCnnt", "QPushButton", "groupBox_2", 10, 220, 111, 28, "连接网络");
    row("label_8", "QLabel", "Widget", 150, 400, 41, 21, "状态");
    row("CurState", "QLabel", "Widget", 200, 400, 72, 21, "");
    row("labelSpaceUdp", "QLabel", "Widget", 690, 400, 31, 21, "");
}

static QString shownText(QWidget *widget)
{
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        return box->title();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QPushButton *>(widget))
        return button->text();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        return combo->currentText();
    if (auto *view = qobject_cast<QTextEdit *>(widget))
        return view->toPlainText();
    return QString();
}

void tst_Form::widgets()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    Widget window(fakeProbe({}));
    auto *widget = window.findChild<QWidget *>(QTest::currentDataTag());
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());
    QCOMPARE(widget->parent()->objectName(), parentName);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(shownText(widget), text);
    QVERIFY(widget->isEnabled());
    QVERIFY(!widget->isHidden());
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        QVERIFY(!combo->isEditable());
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QVERIFY(!button->isCheckable());
}

void tst_Form::onlyTheFormsWidgets()
{
    Widget window(fakeProbe({}));
    const QStringList expected = { "groupBox",     "label",           "label_2",     "label_3",
                                   "label_4",      "label_5",         "label_6",     "ComBC",
                                   "BaudCB",       "DataBitsCB",      "ParityCB",    "StopCB",
                                   "FlowsCB",      "textEdit_Servce", "CheckBtn",    "ClearBtn",
                                   "ConnectBtn",   "textEdit_Client", "labelUdp",    "labelUdp1",
                                   "lEditUdpIP",   "lEditUdpPort",    "groupBox_2",  "label_7",
                                   "label_IP",     "label_Port",      "lEditIpPort", "lEditIpAddr",
                                   "cBoxNetType",  "pBtnNetCnnt",     "label_8",     "CurState",
                                   "labelSpaceUdp" };
    // The form's widgets are the children of the window and of its two
    // group boxes; what Qt builds inside a widget (a list's view, a
    // scrollbar) is that widget's.
    QStringList found;
    for (const char *container : { "Widget", "groupBox", "groupBox_2" }) {
        QWidget *parent = container == QByteArray("Widget")
                ? &window
                : window.findChild<QWidget *>(container);
        QVERIFY(parent);
        const auto children =
                parent->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        for (const QWidget *child : children)
            found.append(child->objectName());
    }
    found.sort();
    QStringList sortedExpected = expected;
    sortedExpected.sort();
    QCOMPARE(found, sortedExpected);

    auto *roles = window.findChild<QComboBox *>("cBoxNetType");
    QCOMPARE(roles->count(), 3);
    QCOMPARE(roles->itemText(0), QStringLiteral("UDP"));
    QCOMPARE(roles->itemText(1), QStringLiteral("TCP服务器"));
    QCOMPARE(roles->itemText(2), QStringLiteral("TCP客户端"));
}

void tst_Form::windowSizeAndTitle()
{
    Widget window(fakeProbe({}));
    QCOMPARE(window.objectName(), QStringLiteral("Widget"));
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.windowTitle(), QStringLiteral("Widget"));
}

void tst_Form::focusOrderFollowsCreation()
{
    Widget window(fakeProbe({}));
    const QStringList focusable = { "ComBC",        "BaudCB",      "DataBitsCB",      "ParityCB",
                                    "StopCB",       "FlowsCB",     "textEdit_Servce", "CheckBtn",
                                    "ClearBtn",     "ConnectBtn",  "textEdit_Client", "lEditUdpIP",
                                    "lEditUdpPort", "lEditIpPort", "lEditIpAddr",     "cBoxNetType",
                                    "pBtnNetCnnt" };
    QStringList chain;
    QWidget *widget = window.findChild<QWidget *>("ComBC");
    for (int i = 0; i < 200 && widget; ++i) {
        if (focusable.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain.append(widget->objectName());
        widget = widget->nextInFocusChain();
        if (widget->objectName() == QLatin1String("ComBC"))
            break;
    }
    QCOMPARE(chain, focusable);
}

void tst_Form::noSlotRunsDuringSetUp()
{
    Widget window(fakeProbe({}, {}));
    QCOMPARE(window.findChild<QLabel *>("label_IP")->text(), QStringLiteral("本地IP地址"));
    QCOMPARE(window.findChild<QLabel *>("labelUdp")->text(), QStringLiteral("目标IP地址"));
    QCOMPARE(window.findChild<QLineEdit *>("lEditIpAddr")->text(), QString());
    QCOMPARE(window.findChild<QPushButton *>("ConnectBtn")->text(), QStringLiteral("串口连接"));
    QCOMPARE(window.findChild<QPushButton *>("pBtnNetCnnt")->text(), QStringLiteral("连接网络"));
}

void tst_Form::slotTable()
{
    // The window's first slots, in the order of its meta-object.
    const QMetaObject &meta = Widget::staticMetaObject;
    QStringList names;
    for (int i = meta.methodOffset(); i < meta.methodCount() && names.size() < 9; ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Slot)
            names.append(QString::fromLatin1(meta.method(i).name()));
    }
    QCOMPARE(names,
             QStringList({ "doProcessSerialRead", "on_cBoxNetType_currentIndexChanged",
                           "on_ConnectBtn_clicked", "on_ClearBtn_clicked", "on_CheckBtn_clicked",
                           "on_pBtnNetCnnt_clicked", "udpDataReceived", "slotTryCreateTcpServer",
                           "slotDeleteTcpServer" }));
}

void tst_Form::wideningMovesNothing()
{
    Widget window(fakeProbe({}));
    window.show();
    const QRect before = window.findChild<QWidget *>("textEdit_Client")->geometry();
    window.resize(1200, 900);
    QCOMPARE(window.findChild<QWidget *>("textEdit_Client")->geometry(), before);
    QCOMPARE(window.findChild<QWidget *>("pBtnNetCnnt")->geometry(), QRect(10, 220, 111, 28));
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
