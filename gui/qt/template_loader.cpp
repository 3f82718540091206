// Loading window templates from the resources and finding their controls by id.
#include "template_loader.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QUiLoader>

#include <map>

// The resources live in a static library, so they are registered by hand before first use.
static void registerTemplateResources() {
    Q_INIT_RESOURCE(vorngui_resources);
}

namespace vorngui::qt {
namespace {

// Read-only edits show the window colour behind their text, as Windows draws them, so that
// they cannot be taken for fields to type in.
void showReadOnlyEditsAsSuch(QWidget& window) {
    const QList<QLineEdit*> edits = window.findChildren<QLineEdit*>();
    for (QLineEdit* edit : edits) {
        if (edit->isReadOnly()) {
            QPalette colours = edit->palette();
            for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                colours.setBrush(group, QPalette::Base, colours.brush(group, QPalette::Window));
            }
            edit->setPalette(colours);
        }
    }
}

// The template files by id: each is named after its window, then its id ("time_set_130.ui").
const std::map<int, QString>& templateFiles() {
    static const std::map<int, QString> files = [] {
        ensureResources();
        static const QRegularExpression pattern(QStringLiteral("^[a-z_]+_(\\d+)\\.ui$"));
        std::map<int, QString> found;
        const QStringList entries = QDir(QStringLiteral(":/templates")).entryList(QDir::Files);
        for (const QString& entry : entries) {
            const QRegularExpressionMatch match = pattern.match(entry);
            if (match.hasMatch()) {
                found.emplace(match.captured(1).toInt(), entry);
            }
        }
        return found;
    }();
    return files;
}

} // namespace

void ensureResources() {
    static const bool registered = [] {
        registerTemplateResources();
        return true;
    }();
    (void)registered;
}

std::vector<int> availableTemplates() {
    std::vector<int> ids;
    for (const auto& [id, file] : templateFiles()) {
        ids.push_back(id);
    }
    return ids;
}

QString templatePath(int templateId) {
    const auto& files = templateFiles();
    const auto found = files.find(templateId);
    return found == files.end() ? QString() : QStringLiteral(":/templates/") + found->second;
}

std::unique_ptr<QDialog> loadTemplate(int templateId, QWidget* parent, QString* error) {
    ensureResources();
    QFile file(templatePath(templateId));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("no template %1").arg(templateId);
        }
        return nullptr;
    }
    QUiLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file, parent));
    auto* dialog = qobject_cast<QDialog*>(root.get());
    if (!dialog) {
        if (error) {
            *error =
                root ? QStringLiteral("template %1 is not a dialog").arg(templateId)
                     : QStringLiteral("template %1: %2").arg(templateId).arg(loader.errorString());
        }
        return nullptr;
    }
    root.release();
    showReadOnlyEditsAsSuch(*dialog);
    return std::unique_ptr<QDialog>(dialog);
}

QWidget* findControl(const QWidget& window, int controlId) {
    const QList<QWidget*> children = window.findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (controlIdOf(*child) == controlId) {
            return child;
        }
    }
    return nullptr;
}

int controlIdOf(const QWidget& widget) {
    const QVariant value = widget.property(kControlIdProperty);
    bool ok = false;
    const int id = value.toInt(&ok);
    return value.isValid() && ok ? id : -1;
}

} // namespace vorngui::qt
