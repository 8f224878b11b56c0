#include "ui/FolderBrowser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

namespace vl {
namespace {
QString ToQString(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
}  // namespace

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> TFolderBrowseDialog::Execute(QWidget* owner) {
  FolderDialog dialog(owner, lastConfirmed_);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  std::optional<std::string> folder = dialog.Chosen();
  if (folder) lastConfirmed_ = *folder;
  return folder;
}

FolderDialog::FolderDialog(QWidget* owner, const std::string& initialFolder) : QFileDialog(owner) {
  setOption(QFileDialog::DontUseNativeDialog);
  setOption(QFileDialog::ShowDirsOnly);
  setFileMode(QFileDialog::Directory);
  setAcceptMode(QFileDialog::AcceptOpen);
  if (initialFolder.empty() || !QFileInfo(ToQString(initialFolder)).isDir()) {
    setDirectory(QDir::rootPath());
  } else {
    QFileInfo folder(ToQString(initialFolder));
    setDirectory(folder.isRoot() ? folder.absoluteFilePath() : folder.absolutePath());
    selectFile(folder.absoluteFilePath());
    everSelected_ = true;
  }
  // Any choice the user makes from here on counts as a selection.
  connect(this, &QFileDialog::currentChanged, this, [this] {
    everSelected_ = true;
    UpdateConfirmButton();
  });
  connect(this, &QFileDialog::directoryEntered, this, [this] {
    everSelected_ = true;
    UpdateConfirmButton();
  });
  if (QLineEdit* name = NameBox())
    connect(name, &QLineEdit::textChanged, this, [this] {
      everSelected_ = true;
      UpdateConfirmButton();
    });
  if (QPushButton* button = ConfirmButton()) button->installEventFilter(this);
  UpdateConfirmButton();
}

QPushButton* FolderDialog::ConfirmButton() const {
  auto* buttons = findChild<QDialogButtonBox*>();
  return buttons != nullptr ? buttons->button(QDialogButtonBox::Open) : nullptr;
}

QLineEdit* FolderDialog::NameBox() const { return findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); }

// One existing folder selected, by a click in the list, by a typed name, or by
// going into it; anything else (a file, a missing name, several names) is none.
std::optional<std::string> FolderDialog::SelectedFolder() const {
  if (!everSelected_) return std::nullopt;
  const QStringList files = selectedFiles();
  if (files.size() != 1) return std::nullopt;
  const QFileInfo folder(files.first());
  if (!folder.isDir()) return std::nullopt;
  return WithoutTrailingSeparator(QDir::cleanPath(folder.absoluteFilePath()).toLocal8Bit().toStdString());
}

// QFileDialog's own accept would take the first of its selected files, which
// need not be the folder named; the choice is made here instead.
void FolderDialog::accept() {
  chosen_ = SelectedFolder();
  if (chosen_) QDialog::accept();
}

// QFileDialog re-enables its button by rules of its own (it would take the
// current folder with nothing selected); this keeps it disabled whenever there
// is no folder to confirm.
bool FolderDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::EnabledChange && watched == ConfirmButton()) {
    auto* button = static_cast<QPushButton*>(watched);
    if (button->isEnabled() && !SelectedFolder()) button->setEnabled(false);
  }
  return QFileDialog::eventFilter(watched, event);
}

void FolderDialog::UpdateConfirmButton() {
  if (QPushButton* button = ConfirmButton()) button->setEnabled(SelectedFolder().has_value());
}

}  // namespace vl
