#include "store/queryobject.h"

#include "core/datetime.h"

namespace {

QString textOf(const QVariant &value) {
  if (value.isNull())
    return QString();
  switch (value.typeId()) {
  case QMetaType::QDateTime: return datetime::dateTimeToStr(datetime::fromQDateTime(value.toDateTime()));
  case QMetaType::QDate: return datetime::dateToStr(datetime::fromQDateTime(QDateTime(value.toDate(), QTime(0, 0))));
  case QMetaType::Bool: return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
  default: return value.toString();
  }
}

bool booleanOf(const QVariant &value) {
  if (value.isNull())
    return false;
  switch (value.typeId()) {
  case QMetaType::Bool: return value.toBool();
  case QMetaType::QString:
  case QMetaType::QByteArray: {
    const QString text = value.toString().trimmed().toLower();
    return text == QLatin1String("t") || text == QLatin1String("1") || text == QLatin1String("true") ||
           text == QLatin1String("y") || text == QLatin1String("yes") || text == QLatin1String("-1");
  }
  default: {
    bool ok = false;
    const double number = value.toDouble(&ok);
    return ok && number != 0;
  }
  }
}

} // namespace

// ---------------------------------------------------------------------------

ResultModel::ResultModel(QueryObject *query) : QAbstractTableModel(query), m_query(query) {}

int ResultModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_rows.size()); }

int ResultModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_columns.size()); }

QVariant ResultModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= m_columns.size())
    return QVariant();
  const QVariant value = m_rows.at(index.row()).value(index.column());
  if (role == Qt::DisplayRole)
    return textOf(value);
  if (role == Qt::EditRole)
    return value;
  return QVariant();
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && section >= 0 && section < m_columns.size()) {
    if (role == Qt::DisplayRole)
      return m_columns.at(section);
    if (role == DisplayWidthRole)
      return section < m_widths.size() ? m_widths.at(section) : 0;
    return QVariant();
  }
  return QAbstractTableModel::headerData(section, orientation, role);
}

// ---------------------------------------------------------------------------

QueryObject::QueryObject(const QString &name, int commandTimeoutSeconds, const StoreLocation &location, QObject *parent)
    : QObject(parent), m_name(name), m_timeout(commandTimeoutSeconds), m_location(location),
      m_backend(StoreBackend::create(location, commandTimeoutSeconds)), m_model(new ResultModel(this)) {
  setObjectName(name);
}

QueryObject::~QueryObject() = default;

void QueryObject::setLocation(const StoreLocation &location) {
  close();
  m_location = location;
  m_backend = StoreBackend::create(location, m_timeout);
}

void QueryObject::close() {
  const bool wasOpen = m_open;
  m_open = false;
  m_appending = false;
  m_newRow.clear();
  m_columns.clear();
  m_rows.clear();
  m_current = -1;
  if (wasOpen)
    refreshModel();
}

void QueryObject::setSql(const Statement &statement) {
  close();
  m_statement = statement;
  m_lines.clear(); // addSql starts from the rendered statement
}

void QueryObject::clearSql() {
  close();
  m_lines.clear();
  m_statement = Statement::plain(QString());
}

void QueryObject::addSql(const QString &line) {
  close();
  if (m_lines.isEmpty() && !m_statement.head.isEmpty())
    m_lines << m_statement.render();
  m_lines << line;
  m_statement = Statement::plain(m_lines.join(QLatin1Char('\n')));
}

void QueryObject::open() {
  if (m_open)
    return;
  if (QStringView(m_statement.head).trimmed().isEmpty())
    throw StoreError(QStringLiteral("%1: no statement to open").arg(m_name));
  Result result;
  m_backend->select(m_statement.prepared(), m_statement.hasValue ? QVariantList{m_statement.value} : QVariantList(),
                    result);
  m_columns = result.columns;
  m_rows = result.rows;
  m_current = m_rows.isEmpty() ? -1 : 0;
  m_open = true;
  m_appending = false;
  m_newRow.clear();
  m_displayWidths.clear();
  refreshModel();
}

void QueryObject::requery() {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot re-run a closed query").arg(m_name));
  Result result;
  try {
    m_backend->select(m_statement.prepared(), m_statement.hasValue ? QVariantList{m_statement.value} : QVariantList(),
                      result);
  } catch (...) {
    close();
    throw;
  }
  m_columns = result.columns;
  m_rows = result.rows;
  m_current = m_rows.isEmpty() ? -1 : 0;
  m_appending = false;
  m_newRow.clear();
  refreshModel();
}

int QueryObject::rowCount() const { return m_open ? int(m_rows.size()) : 0; }

QStringList QueryObject::columnNames() const { return m_open ? m_columns : QStringList(); }

int QueryObject::columnIndex(const QString &column) const {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: the query is not open (column %2)").arg(m_name, column));
  // Names match whatever their case; the callers mostly spell them exactly.
  if (const qsizetype exact = m_columns.indexOf(column); exact >= 0)
    return int(exact);
  for (int i = 0; i < m_columns.size(); ++i) {
    if (m_columns.at(i).compare(column, Qt::CaseInsensitive) == 0)
      return i;
  }
  throw StoreError(QStringLiteral("%1: field '%2' not found").arg(m_name, column));
}

QVariant QueryObject::fieldValue(const QString &column) const {
  const int index = columnIndex(column);
  if (m_appending)
    return m_newRow.value(m_columns.at(index));
  if (m_current < 0 || m_current >= m_rows.size())
    return QVariant();
  return m_rows.at(m_current).value(index);
}

QString QueryObject::fieldAsString(const QString &column) const { return textOf(fieldValue(column)); }

bool QueryObject::fieldAsBoolean(const QString &column) const { return booleanOf(fieldValue(column)); }

void QueryObject::append() {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot append to a closed query").arg(m_name));
  if (m_statement.table().isEmpty())
    throw StoreError(QStringLiteral("%1: the statement names no table to append to").arg(m_name));
  m_appending = true;
  m_newRow.clear();
}

void QueryObject::setField(const QString &column, const QVariant &value) {
  const int index = columnIndex(column);
  if (!m_appending)
    throw StoreError(QStringLiteral("%1: no row is being appended (field %2)").arg(m_name, column));
  m_newRow.insert(m_columns.at(index), value);
}

void QueryObject::post(const AppendGuard *guard) {
  if (!m_open)
    throw StoreError(QStringLiteral("%1: cannot post to a closed query").arg(m_name));
  if (!m_appending)
    throw StoreError(QStringLiteral("%1: no row is being appended").arg(m_name));
  if (m_newRow.isEmpty())
    throw StoreError(QStringLiteral("%1: the appended row sets no column").arg(m_name));
  NewRow row;
  row.table = m_statement.table();
  for (auto it = m_newRow.cbegin(); it != m_newRow.cend(); ++it) {
    row.columns << it.key();
    row.values << it.value();
  }
  if (guard)
    m_backend->append(row, *guard);
  else
    m_backend->insert(row);
  m_appending = false;
  m_newRow.clear();
}

void QueryObject::setDisplayWidth(const QString &column, int characters) {
  const int index = columnIndex(column);
  m_displayWidths.insert(m_columns.at(index), characters);
  if (m_disabled == 0 && index < m_model->m_widths.size() && m_model->m_columns == m_columns) {
    m_model->m_widths[index] = characters;
    emit m_model->headerDataChanged(Qt::Horizontal, index, index);
  }
}

int QueryObject::displayWidth(const QString &column) const {
  for (auto it = m_displayWidths.cbegin(); it != m_displayWidths.cend(); ++it) {
    if (it.key().compare(column, Qt::CaseInsensitive) == 0)
      return it.value();
  }
  return 0;
}

void QueryObject::disableControls() { ++m_disabled; }

void QueryObject::enableControls() {
  if (m_disabled > 0)
    --m_disabled;
  refreshModel();
}

void QueryObject::refreshModel() {
  if (m_disabled > 0)
    return;
  m_model->beginResetModel();
  m_model->m_columns = m_open ? m_columns : QStringList();
  m_model->m_rows = m_open ? m_rows : QList<ResultRow>();
  m_model->m_widths.clear();
  for (const QString &column : m_model->m_columns)
    m_model->m_widths << m_displayWidths.value(column, 0);
  m_model->endResetModel();
}
