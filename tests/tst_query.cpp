#include "report_table.h"
#include "test_environment.h"


// How the query program fits the store's texts to a terminal.
class TestQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fitted_data();
    void fitted();
};

void TestQuery::fitted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("line");
    QTest::newRow("padded") << "abc" << 5 << "abc  ";
    QTest::newRow("tab and newline") << "a\tb\nc" << 6 << "a b c ";
    QTest::newRow("terminal escape") << "\x1b[2Jx" << 6 << " [2Jx ";
    QTest::newRow("bidi override") << "a\u202Eb" << 3 << "ab ";
    QTest::newRow("cut") << QString(200, u'x') << 30 << QString(29, u'x') + u'…';
    QTest::newRow("wide characters") << "漢字漢字" << 6 << "漢字… ";
    QTest::newRow("combining marks") << "e\u0301e\u0301" << 2 << "e\u0301e\u0301";
    QTest::newRow("outside the basic plane") << "\U0001F600\U0001F600" << 3 << "\U0001F600…";
}

void TestQuery::fitted()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, line);
    QCOMPARE(ReportTable::fitted(text, width), line);
}

QMN_TEST_MAIN(TestQuery)
#include "tst_query.moc"
