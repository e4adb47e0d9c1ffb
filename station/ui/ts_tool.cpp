// ardentix-ts: writes a Qt translation source (.ts) from the string table,
// keeping the translations the file already holds.
//   ardentix-ts FILE.ts            update FILE.ts in place
//   ardentix-ts --check FILE.ts    exit 1 when FILE.ts lacks or misstates a text,
//                                  or has one without its translation
// A text whose English changed keeps its old translation, marked unfinished
// for the translator; texts no longer shown are dropped.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <iostream>
#include <map>
#include <tuple>

#include "core/files.h"
#include "ui/translate.h"

namespace {

using ardentix::ui::TranslatableText;

struct Translation {
  QString text;
  bool finished = false;
};

struct Existing {
  QString language;
  std::map<std::tuple<QString, QString, QString>, Translation> byKey;  // context, source, comment
  std::map<std::pair<QString, QString>, Translation> byNumber;          // context, comment
};

Existing Read(const QString& path) {
  Existing e;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return e;
  QXmlStreamReader xml(&file);
  QString context, source, comment;
  Translation translation;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      const auto name = xml.name();
      if (name == QLatin1String("TS")) {
        e.language = xml.attributes().value(QLatin1String("language")).toString();
      } else if (name == QLatin1String("name")) {
        context = xml.readElementText();
      } else if (name == QLatin1String("message")) {
        source.clear();
        comment.clear();
        translation = {};
      } else if (name == QLatin1String("source")) {
        source = xml.readElementText();
      } else if (name == QLatin1String("comment")) {
        comment = xml.readElementText();
      } else if (name == QLatin1String("translation")) {
        const bool unfinished = xml.attributes().value(QLatin1String("type")) == QLatin1String("unfinished");
        translation.text = xml.readElementText();
        translation.finished = !unfinished && !translation.text.isEmpty();
      }
    } else if (xml.isEndElement() && xml.name() == QLatin1String("message")) {
      e.byKey[{context, source, comment}] = translation;
      if (!comment.isEmpty()) e.byNumber[{context, comment}] = translation;
    }
  }
  return e;
}

QByteArray Write(const Existing& old, int& finished, QStringList& unfinished) {
  QByteArray out;
  QXmlStreamWriter xml(&out);
  xml.setAutoFormatting(true);
  xml.writeStartDocument();
  xml.writeDTD(QStringLiteral("<!DOCTYPE TS>"));
  xml.writeStartElement(QStringLiteral("TS"));
  xml.writeAttribute(QStringLiteral("version"), QStringLiteral("2.1"));
  if (!old.language.isEmpty()) xml.writeAttribute(QStringLiteral("language"), old.language);
  xml.writeAttribute(QStringLiteral("sourcelanguage"), QStringLiteral("en"));
  QString openContext;
  for (const TranslatableText& t : ardentix::ui::TranslatableTexts()) {
    const QString context = QString::fromUtf8(t.context);
    if (context != openContext) {
      if (!openContext.isEmpty()) xml.writeEndElement();
      xml.writeStartElement(QStringLiteral("context"));
      xml.writeTextElement(QStringLiteral("name"), context);
      openContext = context;
    }
    const QString source = QString::fromStdString(t.source), comment = QString::fromStdString(t.comment);
    Translation tr;
    if (const auto it = old.byKey.find({context, source, comment}); it != old.byKey.end()) {
      tr = it->second;
    } else if (const auto n = old.byNumber.find({context, comment}); !comment.isEmpty() && n != old.byNumber.end()) {
      tr = {n->second.text, false};  // the English changed: to be checked
    }
    xml.writeStartElement(QStringLiteral("message"));
    xml.writeTextElement(QStringLiteral("source"), source);
    if (!comment.isEmpty()) xml.writeTextElement(QStringLiteral("comment"), comment);
    xml.writeStartElement(QStringLiteral("translation"));
    if (!tr.finished) xml.writeAttribute(QStringLiteral("type"), QStringLiteral("unfinished"));
    xml.writeCharacters(tr.text);
    xml.writeEndElement();
    xml.writeEndElement();
    if (tr.finished)
      ++finished;
    else
      unfinished << source;
  }
  if (!openContext.isEmpty()) xml.writeEndElement();
  xml.writeEndDocument();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  const bool check = args.removeAll(QStringLiteral("--check")) > 0;
  if (args.size() != 1) {
    std::cerr << "usage: ardentix-ts [--check] FILE.ts\n";
    return 2;
  }
  const QString path = args.front();
  Existing old = Read(path);
  if (old.language.isEmpty()) {
    // A new file: its language is in its name, "ardentix_zh_CN.ts".
    const QString base = QFileInfo(path).completeBaseName();
    old.language = base.mid(base.indexOf(u'_') + 1);
  }
  int finished = 0;
  QStringList unfinished;
  const QByteArray text = Write(old, finished, unfinished);
  QFile current(path);
  const QByteArray before = current.open(QIODevice::ReadOnly) ? current.readAll() : QByteArray();
  const std::string name = QFileInfo(path).fileName().toStdString();
  if (check) {
    if (before != text) {
      std::cerr << name << " does not list the texts as the string table holds them: run ./run.sh translations\n";
      return 1;
    }
    if (!unfinished.isEmpty()) {
      std::cerr << name << ": " << unfinished.size() << " texts have no translation yet:\n";
      for (const QString& u : unfinished) std::cerr << "  " << u.toStdString() << "\n";
      return 1;
    }
    std::cout << name << ": " << finished << " texts translated\n";
    return 0;
  }
  std::string error;
  if (before != text && !ardentix::WriteFileAtomically(path.toStdString(), text.toStdString(), &error)) {
    std::cerr << "ardentix-ts: " << error << "\n";
    return 1;
  }
  std::cout << name << ": " << finished << " texts translated, " << unfinished.size() << " not yet\n";
  for (const QString& u : unfinished) std::cout << "  " << u.toStdString() << "\n";
  return 0;
}
