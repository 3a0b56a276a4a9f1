#include "ui/app/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

namespace corvane::ui {

namespace {

struct Installed {
    std::unique_ptr<QTranslator> qt;
    std::unique_ptr<QTranslator> program;
};

Installed& Current()
{
    static Installed installed;
    return installed;
}

void Remove(std::unique_ptr<QTranslator>& translator)
{
    if (translator)
        QCoreApplication::removeTranslator(translator.get());
    translator.reset();
}

} // namespace

QString MessagesLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value;
    }
    return QString();
}

CUiLanguage LanguageOfLocale(const QString& posixName)
{
    // language[_territory][.codeset][@modifier]
    QString language = posixName;
    for (QChar stop : {QLatin1Char('_'), QLatin1Char('.'), QLatin1Char('@')}) {
        const qsizetype at = language.indexOf(stop);
        if (at >= 0)
            language.truncate(at);
    }
    return language == QLatin1String("en") ? CUiLanguage::English : CUiLanguage::Chinese;
}

bool InstallTranslations(CUiLanguage language)
{
    Installed& installed = Current();
    Remove(installed.qt);
    Remove(installed.program);

    bool ok = true;
    const QString qtFolder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto qt = std::make_unique<QTranslator>();
    const QString qtName =
        language == CUiLanguage::English ? QStringLiteral("qtbase_en") : QStringLiteral("qtbase_zh_CN");
    if (qt->load(qtName, qtFolder)) {
        QCoreApplication::installTranslator(qt.get());
        installed.qt = std::move(qt);
    } else if (language == CUiLanguage::Chinese) {
        // Qt's texts are English by themselves; only Chinese needs the file.
        ok = false;
    }

    // The program's texts are written in Chinese: only English needs one.
    if (language == CUiLanguage::English) {
        auto program = std::make_unique<QTranslator>();
        if (program->load(QStringLiteral(":/i18n/corvane_en.qm"))) {
            QCoreApplication::installTranslator(program.get());
            installed.program = std::move(program);
        } else {
            ok = false;
        }
    }
    return ok;
}

} // namespace corvane::ui
