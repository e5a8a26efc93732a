#!/usr/bin/env bash
# Fails when a file outside ui/ and app/ includes a Qt Widgets header: the
# engine must build and run without widgets (headless, command line, tests).
set -euo pipefail
cd "$(dirname "$0")/.."
widgets='^\s*#\s*include\s*[<"](QtWidgets/|QApplication|QWidget|QDialog|QMainWindow|QMessageBox|QFileDialog|QInputDialog|QLabel|QPushButton|QLineEdit|QComboBox|QCheckBox|QRadioButton|QTabWidget|QListWidget|QTextEdit|QPlainTextEdit|QGroupBox|QLayout|QVBoxLayout|QHBoxLayout|QGridLayout|QFormLayout|QMenu|QMenuBar|QAction|QSystemTrayIcon|QProgressBar|QSpinBox|QSlider|QScrollArea|QStatusBar|QToolButton|QSplashScreen)[>"]'
bad=$(git ls-files -- '*.cpp' '*.h' '*.c' | grep -v -E '^(ui|app|tests|bench)/' | xargs -r grep -n -E "$widgets" || true)
if [ -n "$bad" ]; then
  echo "check-layers: a Qt Widgets header below ui/ (only ui/ and app/ may use widgets):" >&2
  echo "$bad" >&2
  exit 1
fi
echo "check-layers: no widget below ui/"
