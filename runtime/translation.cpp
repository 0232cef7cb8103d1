#include "translation.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>
#include <QtDebug>

#include "paths.h"

namespace {
const char *const Catalogue = "kiv-domain-session-agent";
}  // namespace

namespace Translation {

void install(QCoreApplication &app)
{
    const QStringList languages = QLocale::system().uiLanguages();
    if (languages.isEmpty())
        return;
    auto *translator = new QTranslator(&app);
    if (!translator->load(QLocale(languages.first()), Catalogue, "_", Paths::translationsDir())) {
        delete translator;
        return;
    }
    app.installTranslator(translator);
    qInfo() << "dialogs translated for" << languages.first();
}

}  // namespace Translation
