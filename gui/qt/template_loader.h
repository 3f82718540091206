// Windows of the control utility built from their templates: Qt Designer files compiled into
// the resources as ":/templates/<window>_<id>.ui" (such as "time_set_130.ui"), whose controls
// carry their numeric ids in the dynamic property "controlId".
#pragma once

#include <QDialog>
#include <QString>

#include <memory>
#include <vector>

namespace vorngui::qt {

// The name of the dynamic property that holds a control's numeric id.
inline constexpr const char* kControlIdProperty = "controlId";

// Registers the compiled-in templates and pictures; every loader below calls it first.
void ensureResources();

// The template ids found in the resources, in ascending order.
std::vector<int> availableTemplates();

// The resource path of template `templateId`, or an empty path if there is no such template.
QString templatePath(int templateId);

// A new window built from template `templateId`, with `parent` as its owner; null (with the
// reason in `error` when given) if the template is missing or its root is not a dialog.
std::unique_ptr<QDialog> loadTemplate(int templateId, QWidget* parent = nullptr,
                                      QString* error = nullptr);

// The control of `window` whose id is `controlId`, or null.
QWidget* findControl(const QWidget& window, int controlId);

// The id a control carries, or -1 for a widget without one.
int controlIdOf(const QWidget& widget);

} // namespace vorngui::qt
