#!/usr/bin/env bash
# Checks the layer order of ARCHITECTURE.md:
#  - a folder includes headers of its own folder and of the folders below it
#    only, never of one above it;
#  - every project header is named from the top of the tree
#    ("store/RecordStore.h"), so the layer of each dependency shows;
#  - no Qt Widgets header below ui/ (the engine runs headless).
# tests/, bench/ and tools/ may use every layer.
set -euo pipefail
cd "$(dirname "$0")/.."

# Bottom-up, as ARCHITECTURE.md lists them top-down.
layers=(platform crclib settings transport store collector profiles transfer tools ui app)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
fail() {
  echo "check-layers: $1" >&2
  status=1
}

# Every project header by file name, to tell a bare include of one.
declare -A header
while IFS= read -r h; do header[$(basename "$h")]=$h; done < <(git ls-files -- '*.h' | grep -v -E '^(tests|bench)/')

# Every include line of the tree, as file:line:text.
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  no=${rest%%:*}
  top=${file%%/*}
  [[ -n "${rank[$top]:-}" ]] || continue
  inc=${rest#*\"}
  inc=${inc%%\"*}
  if [[ $inc != */* ]]; then
    if [[ -n "${header[$inc]:-}" ]]; then
      fail "$file:$no: includes \"$inc\" without its folder (write \"${header[$inc]}\")"
    fi
    continue
  fi
  dep=${inc%%/*}
  [[ -n "${rank[$dep]:-}" ]] || continue
  if [[ $top != tools ]] && ((rank[$dep] > rank[$top])); then
    fail "$file:$no: $top/ includes \"$inc\" of $dep/, a layer above it"
  fi
done < <(git ls-files -z -- '*.cpp' '*.h' '*.c' | xargs -0 grep -n -H -E '^\s*#\s*include\s*"' || true)

# The channel protocol is a state machine without I/O: nothing of the
# transports, the store or Qt's network and serial port modules.
bad=$(grep -n -H -E '^\s*#\s*include\s*[<"](transport/|store/|QtNetwork|QtSerialPort|QTcp|QAbstractSocket|QSerialPort|QUdp|QHostAddress|QFile|QDir|QTimer|QElapsedTimer|QDateTime)' \
  collector/ChannelProtocol.h collector/ChannelProtocol.cpp || true)
if [[ -n $bad ]]; then
  fail "the channel protocol includes I/O (transports, store, network, files, clocks):"
  echo "$bad" >&2
fi

widgets='^\s*#\s*include\s*[<"](QtWidgets/|QApplication|QWidget|QDialog|QMainWindow|QMessageBox|QFileDialog|QInputDialog|QLabel|QPushButton|QLineEdit|QComboBox|QCheckBox|QRadioButton|QTabWidget|QListWidget|QTextEdit|QPlainTextEdit|QGroupBox|QLayout|QVBoxLayout|QHBoxLayout|QGridLayout|QFormLayout|QMenu|QMenuBar|QAction|QSystemTrayIcon|QProgressBar|QSpinBox|QSlider|QScrollArea|QStatusBar|QToolButton|QSplashScreen)[>"]'
bad=$(git ls-files -- '*.cpp' '*.h' '*.c' | grep -v -E '^(ui|app|tests|bench)/' | xargs -r grep -n -E "$widgets" || true)
if [[ -n $bad ]]; then
  fail "a Qt Widgets header below ui/ (only ui/ and app/ may use widgets):"
  echo "$bad" >&2
fi

if ((status == 0)); then
  echo "check-layers: every include follows the layer order; no widget below ui/"
fi
exit $status
