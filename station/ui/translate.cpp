#include "ui/translate.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTranslator>
#include <algorithm>
#include <map>
#include <memory>

#include "burnfiles/texts.h"
#include "catalogue/catalogue_dialog_model.h"
#include "core/strings.h"
#include "masterimage/master_image.h"

namespace ardentix::ui {
namespace {

QString Utf8(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

QString Translate(const TranslatableText& t) {
  const QByteArray comment = QByteArray::fromStdString(t.comment);
  const QString out = QCoreApplication::translate(t.context, t.source.c_str(), t.comment.empty() ? nullptr : comment.constData());
  return out;
}

// A fixed text with printf places ("%d", "%s"), matched by a pattern.
struct Placed {
  const TranslatableText* text;
  QRegularExpression pattern;
};

struct Lookup {
  std::map<std::string, const TranslatableText*, std::less<>> exact;
  std::vector<Placed> placed;
  std::vector<const TranslatableText*> bySizeDown;  // for reports ending in a text
};

const Lookup& TheLookup() {
  static const Lookup lookup = [] {
    Lookup l;
    for (const TranslatableText& t : TranslatableTexts()) {
      l.exact.emplace(t.source, &t);  // the first of equal texts wins
      if (t.source.find("%d") != std::string::npos || t.source.find("%s") != std::string::npos) {
        QString re = QRegularExpression::escape(Utf8(t.source));
        // Places as escape() writes them ("%" may come out as "\\%").
        re.replace(QRegularExpression::escape(QStringLiteral("%d")), QStringLiteral("(-?\\d+)"))
            .replace(QRegularExpression::escape(QStringLiteral("%s")), QStringLiteral("(.*)"));
        l.placed.push_back({&t, QRegularExpression(QStringLiteral("^") + re + QStringLiteral("$"))});
      }
      // Short texts ("Open", "---") would match the ends of unrelated texts.
      if (t.source.size() >= 12) l.bySizeDown.push_back(&t);
    }
    std::stable_sort(l.bySizeDown.begin(), l.bySizeDown.end(),
                     [](const auto* a, const auto* b) { return a->source.size() > b->source.size(); });
    return l;
  }();
  return lookup;
}

// Fills "%d" and "%s" of a translated pattern with the captured values, in order.
QString FillPlaces(const QString& pattern, const QStringList& values) {
  static const QRegularExpression place(QStringLiteral("%[ds]"));
  QString out;
  qsizetype from = 0, next = 0;
  for (auto it = place.globalMatch(pattern); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    out += pattern.mid(from, m.capturedStart() - from);
    out += next < values.size() ? values[next++] : m.captured();
    from = m.capturedEnd();
  }
  return out + pattern.mid(from);
}

std::unique_ptr<QTranslator>& Installed() {
  static std::unique_ptr<QTranslator> translator;
  return translator;
}

}  // namespace

const std::vector<TranslatableText>& TranslatableTexts() {
  static const std::vector<TranslatableText> texts = [] {
    std::vector<TranslatableText> t;
    for (int id : StringIds()) t.push_back({kStringTableContext, StringText(id), std::to_string(id)});
    // Fixed texts of the core that have no number.
    const std::string_view fixed[] = {
        kMsgFailToOpenFile, kMsgFormatError, kMsgReplaceOk, kImportNoticeText, kExportNoticeText,
        text::kAboutCaption, text::kAboutLine, text::kNoDeviceConnected, text::kNoNewChip, text::kNewChipsAdded,
        text::kImageFileCreateFailed, text::kFormatWhileBurning, text::kImageOpenDeviceFailed, text::kImageReadFailed,
        text::kImageWriteFailed,
        text::kImageCancelled, text::kImageCreated,
    };
    for (std::string_view f : fixed) t.push_back({kFixedTextContext, std::string(f), ""});
    return t;
  }();
  return texts;
}

QString Tr(int stringId) {
  return QCoreApplication::translate(kStringTableContext, StringText(stringId),
                                     QByteArray::number(stringId).constData());
}

QString TrText(std::string_view english) {
  if (english.empty()) return {};
  const Lookup& l = TheLookup();
  if (const auto it = l.exact.find(english); it != l.exact.end()) return Translate(*it->second);
  const QString text = Utf8(english);
  // A stage with its percentage.
  static const QRegularExpression percent(QStringLiteral("^(.*)(\\(\\d+%\\))$"));
  if (const QRegularExpressionMatch m = percent.match(text); m.hasMatch()) {
    const std::string stage = m.captured(1).toStdString();
    if (const auto it = l.exact.find(stage); it != l.exact.end()) return Translate(*it->second) + m.captured(2);
    if (stage.empty()) return text;
  }
  for (const Placed& p : l.placed) {
    if (const QRegularExpressionMatch m = p.pattern.match(text); m.hasMatch()) {
      QStringList values = m.capturedTexts();
      values.removeFirst();
      return FillPlaces(Translate(*p.text), values);
    }
  }
  for (const TranslatableText* t : l.bySizeDown) {
    if (english.size() > t->source.size() && english.substr(english.size() - t->source.size()) == t->source)
      return Utf8(english.substr(0, english.size() - t->source.size())) + Translate(*t);
  }
  return text;
}

bool InstallTranslation(const QLocale& locale) {
  std::unique_ptr<QTranslator>& installed = Installed();
  if (installed) {
    QCoreApplication::removeTranslator(installed.get());
    installed.reset();
  }
  auto translator = std::make_unique<QTranslator>();
  // Tries the locale's UI languages in turn (zh_Hans_CN, zh_CN, zh, ...).
  if (!translator->load(locale, QStringLiteral("ardentix"), QStringLiteral("_"), QStringLiteral(":/i18n")))
    return false;
  QCoreApplication::installTranslator(translator.get());
  installed = std::move(translator);
  return true;
}

}  // namespace ardentix::ui
