// kgadmin print: one child's application on A4, as the district's paper
// form shows it: the title, the four sections with their captions and
// values, the kindergarten and grade, the appointment notice and the times.

#include "tools/admin.h"

#include "filing/steps.h"
#include "store/records.h"

#include <QDateTime>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

namespace admin {

namespace {

const char *const kTitle = "澄岭区2022年城区公办幼儿园小班招生申请表";
// The fonts the form may be drawn in, the first installed one taken; it is
// embedded in the file. Debian has WenQuanYi Zen Hei (fonts-wqy-zenhei), a
// Chinese Windows SimHei.
const char *const kFontFamilies[] = {"WenQuanYi Zen Hei", "SimHei"};

// A field of the paper form: its caption and the column that holds its value.
struct Field {
  const char *caption;
  const char *column;
};

// A row of a section: one or two fields (a lone field spans the row).
struct Row {
  Field left;
  Field right;
};

struct Section {
  const char *caption;
  std::initializer_list<Row> rows;
};

const Section kSections[] = {
    {"基本信息",
     {{{"姓名", "姓名"}, {"性别", "性别"}},
      {{"出生日期", "出生日期"}, {"民族", "民族"}},
      {{"身份证号", "身份证号"}, {nullptr, nullptr}}}},
    {"户籍信息",
     {{{"区县", "区县"}, {"乡镇或街道", "镇乡或街道"}},
      {{"村或社区", "村或社区"}, {"组", "组"}},
      {{"户主姓名", "户主姓名"}, {"户主与儿童关系", "户主与儿童关系"}},
      {{"上户时间", "入户日期"}, {nullptr, nullptr}},
      {{"户口簿详细地址", "户口簿详细地址"}, {nullptr, nullptr}}}},
    {"幼儿园信息",
     {{{"申请幼儿园名称", "申请幼儿园名称"}, {nullptr, nullptr}}, {{"年级", "部别"}, {nullptr, nullptr}}}},
    {"监护信息",
     {{{"监护人一姓名", "监护人一姓名"}, {"监护人一电话", "监护人一电话"}},
      {{"监护人二姓名", "监护人二姓名"}, {"监护人二电话", "监护人二电话"}}}},
};

QString text(const char *utf8) { return QString::fromUtf8(utf8); }

// The first of the form's fonts that is installed; empty when none is.
QString formFont() {
  const QStringList installed = QFontDatabase::families();
  for (const char *family : kFontFamilies)
    if (installed.contains(text(family)))
      return text(family);
  return {};
}

// Draws on an A4 page in millimetres.
class Page {
public:
  Page(QPdfWriter &writer, const QString &family)
      : m_painter(&writer), m_dpmm(writer.resolution() / 25.4), m_family(family) {
    m_painter.setPen(QPen(Qt::black, mm(0.3)));
  }
  QPainter &painter() { return m_painter; }
  double mm(double value) const { return value * m_dpmm; }
  QRectF box(double x, double y, double w, double h) const { return QRectF(mm(x), mm(y), mm(w), mm(h)); }
  void font(double points, bool bold = false) {
    QFont face(m_family);
    face.setPointSizeF(points);
    face.setBold(bold);
    m_painter.setFont(face);
  }
  void write(const QRectF &where, const QString &value, int flags) { m_painter.drawText(where, flags, value); }
  void frame(const QRectF &where) { m_painter.drawRect(where); }

private:
  QPainter m_painter;
  double m_dpmm;
  QString m_family;
};

void draw(QPdfWriter &writer, const QString &family, const QMap<QString, QString> &values, const QString &recorded) {
  Page page(writer, family);
  const double left = 18;
  const double width = 174;
  double y = 16;

  page.font(17, true);
  page.write(page.box(left, y, width, 12), text(kTitle), Qt::AlignCenter);
  y += 14;
  page.font(10);
  page.write(page.box(left, y, width, 6), QStringLiteral("身份证号：") + values.value(QStringLiteral("身份证号")),
             Qt::AlignLeft | Qt::AlignVCenter);
  page.write(page.box(left, y, width, 6),
             QStringLiteral("填报日期：") + values.value(QStringLiteral("填报日期")).left(10),
             Qt::AlignRight | Qt::AlignVCenter);
  y += 8;

  const double rowHeight = 10;
  const double captionWidth = 12;
  const double labelWidth = 32;
  const double valueWidth = (width - captionWidth) / 2 - labelWidth;
  for (const Section &section : kSections) {
    const double top = y;
    for (const Row &row : section.rows) {
      double x = left + captionWidth;
      for (const Field *field : {&row.left, &row.right}) {
        if (!field->caption)
          continue;
        const bool spans = !row.right.caption;
        const double w = spans ? width - captionWidth - labelWidth : valueWidth;
        page.font(10.5, true);
        page.frame(page.box(x, y, labelWidth, rowHeight));
        page.write(page.box(x, y, labelWidth, rowHeight), text(field->caption), Qt::AlignCenter);
        page.font(11);
        page.frame(page.box(x + labelWidth, y, w, rowHeight));
        page.write(page.box(x + labelWidth + 2, y, w - 4, rowHeight), values.value(text(field->column)),
                   Qt::AlignLeft | Qt::AlignVCenter);
        x += labelWidth + w;
      }
      y += rowHeight;
    }
    // The section's caption, one character a line, spread over the cell at
    // its left and made small enough to fit there.
    const QString caption = text(section.caption);
    const double step = qMin(6.0, (y - top - 2) / caption.size());
    page.font(qMin(10.5, step / 0.3528 * 0.75), true);
    page.painter().setPen(QPen(Qt::darkRed));
    const double first = top + (y - top - step * caption.size()) / 2;
    for (int i = 0; i < caption.size(); ++i)
      page.write(page.box(left, first + i * step, captionWidth, step), caption.mid(i, 1), Qt::AlignCenter);
    page.painter().setPen(QPen(Qt::black, page.mm(0.3)));
    page.frame(page.box(left, top, captionWidth, y - top));
    y += 4;
  }

  // The appointment notice the guardian sees after the lookup.
  const QString notice = filing::appointmentNotice(values.value(QStringLiteral("申请幼儿园名称")));
  page.font(12, true);
  page.frame(page.box(left, y, width, 20));
  page.painter().setPen(QPen(Qt::red));
  page.write(page.box(left + 4, y, width - 8, 20), notice, Qt::AlignCenter | Qt::TextWordWrap);
  page.painter().setPen(QPen(Qt::black, page.mm(0.3)));
  y += 26;

  page.font(10);
  page.write(page.box(left, y, width, 6),
             QStringLiteral("记录时间：") + (recorded.isEmpty() ? QStringLiteral("（未记录）") : recorded),
             Qt::AlignLeft | Qt::AlignVCenter);
  y += 14;
  page.font(11);
  page.write(page.box(left, y, width, 8), QStringLiteral("监护人签字：____________________      日期：____________"),
             Qt::AlignLeft | Qt::AlignVCenter);
  page.font(8);
  page.write(page.box(left, 297 - 16, width, 5),
             QStringLiteral("打印时间：") +
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             Qt::AlignRight | Qt::AlignVCenter);
}

} // namespace

int printApplication(const QStringList &args) {
  expectStoreArguments(args, 4);
  const StoreLocation location = storeArgument(args, 1);
  const QString number = args.at(2);
  const QString file = args.at(3);
  if (QFileInfo(file).suffix().toLower() != QLatin1String("pdf"))
    throw UsageError{QStringLiteral("print: \"%1\": the file must end in .pdf").arg(file)};
  if (!QFileInfo(QFileInfo(file).absolutePath()).isDir())
    throw UsageError{QStringLiteral("print: the folder of \"%1\" does not exist").arg(file)};
  const QString family = formFont();
  if (family.isEmpty())
    throw StoreError(QStringLiteral("print: neither the font \"WenQuanYi Zen Hei\" (Debian: fonts-wqy-zenhei) nor "
                                    "\"SimHei\" is installed"));
  Store store(location);
  store.requireRecords();
  const QStringList columns = schema::applicationColumns();
  const QList<QVariantList> rows = store.run(
      QStringLiteral("select %1, 记录时间 from lz_yjxxk where 身份证号 = ?").arg(columns.join(QLatin1Char(','))),
      {number});
  if (rows.isEmpty())
    throw StoreError(QStringLiteral("no application is stored under the identity number \"%1\"").arg(number));
  QMap<QString, QString> values;
  for (int i = 0; i < columns.size(); ++i)
    values.insert(columns.at(i), rows.first().at(i).isNull() ? QString() : shown(rows.first().at(i)));

  QSaveFile target(file);
  if (!target.open(QIODevice::WriteOnly))
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, target.errorString()));
  {
    QPdfWriter writer(&target);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(600);
    writer.setTitle(text(kTitle) + QStringLiteral(" ") + number);
    writer.setCreator(QStringLiteral("kgadmin"));
    draw(writer, family, values, recordedText(rows.first().at(columns.size())));
  }
  if (!target.commit())
    throw StoreError(QStringLiteral("cannot write %1: %2").arg(file, target.errorString()));
  out() << "print: the application of " << number << " written to " << file << "\n";
  return kDone;
}

} // namespace admin
