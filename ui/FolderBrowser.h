#pragma once
// The folder-browse dialog of the main window (directoryb).
#include <QFileDialog>
#include <optional>
#include <string>

class QLineEdit;
class QPushButton;
class QWidget;

namespace vl {

// A modal folder chooser owned by a window.
class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  // Opens the chooser modally over owner; the confirmed folder's full path, or
  // nothing when the user cancels or closes it.
  virtual std::optional<std::string> Execute(QWidget* owner) = 0;
};

// Qt's own folder dialog (not the desktop's, so it behaves the same everywhere)
// with these rules: only an existing folder can be confirmed; the confirm button
// stays disabled until one is selected; the initial selection is the folder
// last confirmed through this object, never anything else; the result carries
// no trailing separator except for the root "/".
class TFolderBrowseDialog : public FolderChooser {
 public:
  std::optional<std::string> Execute(QWidget* owner) override;
  const std::string& LastConfirmed() const { return lastConfirmed_; }

 private:
  std::string lastConfirmed_;  // this run only
};

// The dialog TFolderBrowseDialog shows; tests drive it while it is open.
class FolderDialog : public QFileDialog {
  Q_OBJECT

 public:
  // Starts at the file system's root with initialFolder (if any) selected.
  FolderDialog(QWidget* owner, const std::string& initialFolder);

  // The existing folder the user has selected, or nothing.
  std::optional<std::string> SelectedFolder() const;
  QPushButton* ConfirmButton() const;
  // The folder confirmed, once the dialog was accepted.
  const std::optional<std::string>& Chosen() const { return chosen_; }

 public slots:
  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* NameBox() const;
  void UpdateConfirmButton();
  bool everSelected_ = false;
  std::optional<std::string> chosen_;
};

// "/a/b/" -> "/a/b"; "/" stays "/".
std::string WithoutTrailingSeparator(std::string path);

}  // namespace vl
