#include "filing/catchment.h"

namespace catchment {

namespace {

constexpr const char *kDongcheng[] = {"和平社区", "西岭社区", "北塘社区", "南苑社区",
                                      "文兴社区", "石桥社区", "西塘社区", "其他"};
constexpr const char *kXiling[] = {"正阳社区", "新安社区", "李桥社区青云路以东", "李桥社区",
                                   "太平社区", "槐荫社区", "回龙社区",           "其他"};

constexpr Street kStreets[] = {{"东澄街道", kDongcheng}, {"西岭街道", kXiling}};

constexpr const char *kRule1Communities[] = {"和平社区", "西岭社区", "北塘社区", "南苑社区"};
constexpr const char *kRule1Kindergartens[] = {"实验幼儿园和平园区", "实验幼儿园解放东路园区", "实验幼儿园东城园区",
                                               "实验幼儿园物流园区"};
constexpr const char *kRule2Communities[] = {"石桥社区"};
constexpr const char *kRule2Kindergartens[] = {"实验幼儿园万福园区", "实验幼儿园和平园区", "实验幼儿园解放东路园区",
                                               "实验幼儿园物流园区", "实验幼儿园东城园区"};
constexpr const char *kRule3Communities[] = {"文兴社区", "西塘社区"};
constexpr const char *kRule3Kindergartens[] = {"实验幼儿园万福园区", "实验幼儿园物流园区", "实验幼儿园东城园区"};
constexpr const char *kRule4Communities[] = {"正阳社区", "新安社区", "太平社区", "李桥社区青云路以东"};
constexpr const char *kRule4Kindergartens[] = {"西岭幼儿园本部",     "西岭幼儿园松柏园区", "西岭幼儿园福安园区",
                                               "西岭幼儿园颂雅园区", "西岭幼儿园回龙园区", "明湖幼儿园天悦园区"};
constexpr const char *kRule5Communities[] = {"李桥社区", "槐荫社区", "回龙社区"};
constexpr const char *kRule5Kindergartens[] = {"明湖幼儿园西岭雅苑园区", "明湖幼儿园天悦园区", "西岭幼儿园松柏园区",
                                               "西岭幼儿园福安园区",     "西岭幼儿园颂雅园区", "西岭幼儿园回龙园区"};
constexpr const char *kOther[] = {"其他"};
constexpr const char *kRule6Kindergartens[] = {"实验幼儿园物流园区", "实验幼儿园东城园区"};
constexpr const char *kRule7Kindergartens[] = {"明湖幼儿园天悦园区", "西岭幼儿园松柏园区", "西岭幼儿园福安园区",
                                               "西岭幼儿园颂雅园区", "西岭幼儿园回龙园区"};

constexpr Rule kRules[] = {
    {kRule1Communities, nullptr, kRule1Kindergartens}, {kRule2Communities, nullptr, kRule2Kindergartens},
    {kRule3Communities, nullptr, kRule3Kindergartens}, {kRule4Communities, nullptr, kRule4Kindergartens},
    {kRule5Communities, nullptr, kRule5Kindergartens}, {kOther, "东澄街道", kRule6Kindergartens},
    {kOther, "西岭街道", kRule7Kindergartens},
};

constexpr const char *kUngrouped[] = {"李桥社区青云路以东", "李桥社区", "其他"};

QStringList toList(Names names) {
  QStringList list;
  for (const char *name : names)
    list.append(QString::fromUtf8(name));
  return list;
}

bool contains(Names names, const QString &text) {
  for (const char *name : names)
    if (text == QString::fromUtf8(name))
      return true;
  return false;
}

} // namespace

std::span<const Street> streets() { return kStreets; }

std::span<const Rule> rules() { return kRules; }

QStringList communities(const QString &street) {
  for (const Street &entry : kStreets)
    if (street == QString::fromUtf8(entry.name))
      return toList(entry.communities);
  return {};
}

bool matches(const Rule &rule, const QString &community, const QString &street) {
  if (!contains(rule.communities, community))
    return false;
  return rule.street == nullptr || street == QString::fromUtf8(rule.street);
}

QStringList kindergartensFor(const QString &community, const QString &street) {
  QStringList offered;
  for (const Rule &rule : kRules)
    if (matches(rule, community, street))
      offered = toList(rule.kindergartens);
  return offered;
}

QStringList allKindergartens() {
  QStringList all;
  for (const Rule &rule : kRules)
    for (const char *name : rule.kindergartens)
      if (!all.contains(QString::fromUtf8(name)))
        all.append(QString::fromUtf8(name));
  return all;
}

Names ungroupedCommunities() { return kUngrouped; }

bool isUngrouped(const QString &community) { return contains(kUngrouped, community); }

QString noGroups() { return QStringLiteral("不分组"); }

QString groupName(int n) { return QString::number(n) + QStringLiteral("组"); }

} // namespace catchment

namespace quota {

namespace {

constexpr Entry kQuotas[] = {
    {"实验幼儿园和平园区", 150, 'A'}, {"实验幼儿园解放东路园区", 85, 'A'}, {"实验幼儿园万福园区", 77, 'B'},
    {"实验幼儿园物流园区", 44, 'B'},  {"实验幼儿园东城园区", 90, 'B'},     {"西岭幼儿园本部", 205, 'C'},
    {"西岭幼儿园松柏园区", 82, 'C'},  {"西岭幼儿园福安园区", 88, 'C'},     {"西岭幼儿园颂雅园区", 85, 'C'},
    {"西岭幼儿园回龙园区", 43, 'C'},  {"明湖幼儿园天悦园区", 118, 'C'},    {"明湖幼儿园西岭雅苑园区", 64, 'C'},
};

} // namespace

std::span<const Entry> table() { return kQuotas; }

const Entry *find(const QString &kindergarten) {
  for (const Entry &entry : kQuotas)
    if (kindergarten == QString::fromUtf8(entry.kindergarten))
      return &entry;
  return nullptr;
}

bool full(const Entry &entry, int count) { return count >= entry.capacity; }

QString tailText(char tail) {
  switch (tail) {
  case 'A': return QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名.");
  case 'B': return QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到东澄街道其他幼儿园联系报名");
  case 'C': return QStringLiteral("]申请名额已满,不能再申报.\r\n\r\n  请到西岭街道其他幼儿园联系报名");
  default: return QString();
  }
}

QString refusal(const Entry &entry, const QString &kindergartenText) {
  return QStringLiteral("对不起![") + kindergartenText + tailText(entry.tail);
}

} // namespace quota
