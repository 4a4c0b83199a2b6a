#pragma once
// The fixed tables of the application form: the streets with their
// communities, the catchment rules that give each community its
// kindergartens, the communities without groups, and the quota of each
// kindergarten. They are constants of the client, never read from the store.
//
// All texts are UTF-8 literals; comparisons are exact (the same GBK bytes).

#include <QString>
#include <QStringList>

#include <array>
#include <span>

namespace catchment {

using Names = std::span<const char *const>;

struct Street {
  const char *name;
  Names communities; // in list order; the last is "其他"
};

// A catchment rule: the communities it applies to, the street it needs
// (nullptr: any street) and the kindergartens it offers, in list order.
struct Rule {
  Names communities;
  const char *street;
  Names kindergartens;
};

// The two streets of xzjdCom, in list order.
std::span<const Street> streets();
// The seven rules, in the order they are tested.
std::span<const Rule> rules();

// The communities of a street, in list order; empty for any other text.
QStringList communities(const QString &street);

// Whether a rule applies to the community chosen under the street.
bool matches(const Rule &rule, const QString &community, const QString &street);

// The kindergartens offered for the community under the street: every rule
// is tested on its own, in order, and a matching rule's list replaces what
// an earlier one gave. Empty when no rule matches.
QStringList kindergartensFor(const QString &community, const QString &street);

// Every kindergarten any rule offers, each once, in order of appearance.
QStringList allKindergartens();

// The three communities without groups: their group list is "不分组".
Names ungroupedCommunities();
bool isUngrouped(const QString &community);
QString noGroups(); // "不分组"

// The group item for n: decimal digits followed by "组" (1组, 12组).
QString groupName(int n);

// A store count above this is treated as damaged data, not as groups to list.
constexpr int kMaxGroups = 999;

} // namespace catchment

namespace quota {

struct Entry {
  const char *kindergarten;
  int capacity; // applications that fit; the next one is refused
  char tail;    // 'A', 'B' or 'C'
};

// The twelve kindergartens, in the order they are tested.
std::span<const Entry> table();

// The row for the kindergarten text, or nullptr: no limit.
const Entry *find(const QString &kindergarten);

// Whether count stored applications leave no place (count >= capacity).
bool full(const Entry &entry, int count);

// The text of a message tail: "]申请名额已满,不能再申报.\r\n\r\n  请到...".
QString tailText(char tail);

// The refusal message: "对不起![" + kindergarten text + the row's tail.
QString refusal(const Entry &entry, const QString &kindergartenText);

} // namespace quota
