#!/usr/bin/env python3
"""Writes the skin's window layouts (Qt Designer .ui XML) into resources/xml/.

The layouts are generated so that the control tree of every window stays readable in one
place; the .ui files remain ordinary Designer files. Run: python3 resources/make_layouts.py
"""
import os
from xml.sax.saxutils import escape

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "xml")
IMG = ":/skin/images/"
CUSTOM = {"ButtonGif": "QPushButton", "FileTree": "QTreeWidget", "LabelEx": "QLabel",
          "ButtonEx": "QPushButton", "Pagination": "QWidget", "DiskList": "QListWidget"}


class W:
    def __init__(self, cls, name, props=None, kids=None, lay=None, margins=(0, 0, 0, 0),
                 spacing=0, dyn=None, stretch=None):
        self.cls, self.name = cls, name
        self.props = props or {}
        self.kids = kids or []
        self.lay, self.margins, self.spacing = lay, margins, spacing
        self.dyn = dyn or {}
        self.stretch = stretch


class Spacer:
    def __init__(self, horizontal, size=40, expanding=True):
        self.horizontal, self.size, self.expanding = horizontal, size, expanding


def value(v):
    if isinstance(v, bool):
        return "<bool>%s</bool>" % ("true" if v else "false")
    if isinstance(v, int):
        return "<number>%d</number>" % v
    if isinstance(v, tuple) and v[0] == "size":
        return "<size><width>%d</width><height>%d</height></size>" % v[1:]
    if isinstance(v, tuple) and v[0] == "enum":
        return "<enum>%s</enum>" % v[1]
    if isinstance(v, tuple) and v[0] == "set":
        return "<set>%s</set>" % v[1]
    if isinstance(v, tuple) and v[0] == "pixmap":
        return "<pixmap>%s%s</pixmap>" % (IMG, v[1])
    if isinstance(v, tuple) and v[0] == "icon":
        return "<iconset><normaloff>%s%s</normaloff></iconset>" % (IMG, v[1])
    if isinstance(v, tuple) and v[0] == "rect":
        return "<rect><x>0</x><y>0</y><width>%d</width><height>%d</height></rect>" % v[1:]
    return "<string>%s</string>" % escape(str(v))


counter = [0]


def emit(w, ind, used):
    out = []
    pad = " " * ind
    if isinstance(w, Spacer):
        counter[0] += 1
        orient = "Qt::Horizontal" if w.horizontal else "Qt::Vertical"
        policy = "QSizePolicy::Expanding" if w.expanding else "QSizePolicy::Fixed"
        dims = (w.size, 1) if w.horizontal else (1, w.size)
        out.append(pad + '<spacer name="spacer%d">' % counter[0])
        out.append(pad + ' <property name="orientation"><enum>%s</enum></property>' % orient)
        out.append(pad + ' <property name="sizeType"><enum>%s</enum></property>' % policy)
        out.append(pad + ' <property name="sizeHint" stdset="0"><size><width>%d</width>'
                   '<height>%d</height></size></property>' % dims)
        out.append(pad + "</spacer>")
        return out
    if w.cls in CUSTOM:
        used.add(w.cls)
    out.append(pad + '<widget class="%s" name="%s">' % (w.cls, w.name))
    for k, v in w.props.items():
        out.append(pad + ' <property name="%s">%s</property>' % (k, value(v)))
    for k, v in w.dyn.items():
        out.append(pad + ' <property name="%s" stdset="0">%s</property>' % (k, value(v)))
    if w.lay:
        counter[0] += 1
        cls = {"v": "QVBoxLayout", "h": "QHBoxLayout"}[w.lay]
        out.append(pad + ' <layout class="%s" name="layout%d">' % (cls, counter[0]))
        out.append(pad + '  <property name="spacing"><number>%d</number></property>' % w.spacing)
        for side, m in zip(("left", "top", "right", "bottom"), w.margins):
            out.append(pad + '  <property name="%sMargin"><number>%d</number></property>' % (side, m))
        stretches = [str(k.stretch or 0) if isinstance(k, W) else "0" for k in w.kids]
        if any(s != "0" for s in stretches):
            out.insert(len(out) - 3 - 4 + 4, "")
            out.append(pad + '  <property name="stretch"><string>%s</string></property>'
                       % ",".join(stretches))
        out = [line for line in out if line != ""]
        for k in w.kids:
            out.append(pad + "  <item>")
            out.extend(emit(k, ind + 3, used))
            out.append(pad + "  </item>")
        out.append(pad + " </layout>")
    else:
        for k in w.kids:
            out.extend(emit(k, ind + 1, used))
    out.append(pad + "</widget>")
    return out


def write(filename, root, width=None, height=None):
    used = set()
    if width:
        root.props = dict([("geometry", ("rect", width, height))] + list(root.props.items()))
    body = emit(root, 1, used)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', '<ui version="4.0">',
             " <class>%s</class>" % root.name]
    lines += body
    if used:
        lines.append(" <customwidgets>")
        for c in sorted(used):
            lines.append("  <customwidget><class>%s</class><extends>%s</extends>"
                         "<header>ui/controls.h</header></customwidget>" % (c, CUSTOM[c]))
        lines.append(" </customwidgets>")
    lines += [" <resources/>", " <connections/>", "</ui>", ""]
    with open(os.path.join(OUT, filename), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


# Shorthands -------------------------------------------------------------------------------
def label(name, text="", role=None, wrap=False, align=None, fixed_h=None, fixed_w=None,
          pixmap=None, **extra):
    props = {}
    if text:
        props["text"] = text
    if wrap:
        props["wordWrap"] = True
    if align:
        props["alignment"] = ("set", align)
    if pixmap:
        props["pixmap"] = ("pixmap", pixmap)
        props["alignment"] = ("set", align or "Qt::AlignCenter")
    if fixed_h:
        props["minimumSize"] = ("size", 0, fixed_h)
        props["maximumSize"] = ("size", 16777215, fixed_h)
    if fixed_w:
        props["minimumSize"] = ("size", fixed_w, fixed_h or 0)
        props["maximumSize"] = ("size", fixed_w, fixed_h or 16777215)
    props.update(extra)
    return W("QLabel", name, props, dyn={"role": role} if role else None)


def button(name, text="", role=None, icon=None, size=None, cls="QPushButton", tip=None,
           checkable=False, checked=False, visible=True, exclusive=False, **extra):
    # Every button takes the keyboard focus (Tab) and shows it; Space presses it.
    props = {"cursor": ("enum", "Qt::PointingHandCursor"),
             "focusPolicy": ("enum", "Qt::StrongFocus")}
    if text:
        props["text"] = text
    if icon:
        props["icon"] = ("icon", icon)
    if size:
        props["minimumSize"] = ("size", size[0], size[1])
        props["maximumSize"] = ("size", size[0], size[1])
    if tip:
        props["toolTip"] = tip
    if checkable:
        props["checkable"] = True
        props["checked"] = checked
    if exclusive:
        props["autoExclusive"] = True
    if not visible:
        props["visible"] = False
    props.update(extra)
    return W(cls, name, props, dyn={"role": role} if role else None)


def box(name, lay, kids, margins=(0, 0, 0, 0), spacing=0, role=None, cls="QWidget", fixed_h=None,
        fixed_w=None, visible=True, stretch=None, **extra):
    props = {}
    if fixed_h:
        props["minimumSize"] = ("size", 0, fixed_h)
        props["maximumSize"] = ("size", 16777215, fixed_h)
    if fixed_w:
        props["minimumSize"] = ("size", fixed_w, fixed_h or 0)
        props["maximumSize"] = ("size", fixed_w, fixed_h or 16777215)
    if not visible:
        props["visible"] = False
    props.update(extra)
    return W(cls, name, props, kids, lay, margins, spacing, dyn={"role": role} if role else None,
             stretch=stretch)


def hs(size=40, expanding=True):
    return Spacer(True, size, expanding)


def vs(size=40, expanding=True):
    return Spacer(False, size, expanding)


def stack(name, pages, index=0):
    return W("QStackedWidget", name, {"currentIndex": index}, pages)


def popup_title(title_text, icon=None):
    kids = []
    if icon:
        kids.append(label("LblIcon", pixmap=icon, fixed_w=28))
    kids += [label("title", title_text, role="popupTitle"), hs(),
             button("closebtn", role="popupClose", icon="close_dark.svg", size=(32, 32),
                    tip="Close", focusPolicy=("enum", "Qt::NoFocus"))]
    return box("TitleBar", "h", kids, margins=(18, 8, 8, 8), spacing=8, role="popupTitleBar",
               fixed_h=48)


# Layouts ---------------------------------------------------------------------------------
def skin():
    title_bar = box("TitleBar", "h", [
        label("LblLogo", pixmap="logo.svg", fixed_w=34),
        label("LblProductName", "Halvern", role="productName"),
        hs(),
        button("BtnAssist", role="titleButton", icon="menu.svg", size=(40, 32), tip="Menu"),
        button("minbtn", role="titleButton", icon="minimize.svg", size=(40, 32), tip="Minimize"),
        button("maxbtn", role="titleButton", icon="maximize.svg", size=(40, 32), tip="Maximize"),
        button("restorebtn", role="titleButton", icon="restore.svg", size=(40, 32),
               tip="Restore", visible=False),
        button("closebtn", role="titleClose", icon="close.svg", size=(40, 32), tip="Close"),
    ], margins=(16, 0, 4, 0), spacing=2, role="titleBar", fixed_h=48)

    def option(name, icon, t1, t2, n1, n2, checked):
        texts = box(name + "Texts", "v", [
            label(n1, t1, role="optTitle"), label(n2, t2, role="optSub", wrap=True)],
            spacing=2)
        return W("QPushButton", name,
                 {"checkable": True, "checked": checked, "autoExclusive": True,
                  "cursor": ("enum", "Qt::PointingHandCursor"),
                  "focusPolicy": ("enum", "Qt::StrongFocus"),
                  "minimumSize": ("size", 340, 64), "maximumSize": ("size", 380, 64)},
                 [label(name + "Icon", pixmap=icon, fixed_w=40), texts], "h",
                 (16, 8, 16, 8), 12, dyn={"role": "sourceOption"})

    options = box("SourceBar", "h", [
        hs(),
        option("OptIosDevice", "opt_device.svg", "Recover from iOS Device",
               "Scan the iPhone attached to this computer", "TxtIosDevice1", "TxtIosDevice2",
               True),
        option("OptBackupFile", "opt_backup.svg", "Recover from iTunes Backup",
               "Scan a backup that iTunes made earlier", "TxtBackupFile1", "TxtBackupFile2",
               False),
        hs()], margins=(24, 0, 24, 0), spacing=16, role="sourceBar", fixed_h=84)

    footer = box("FooterBar", "h", [
        label("LblFooterIcon", pixmap="shield.svg", fixed_w=20),
        label("LblFooter", "Your backups are only read, never changed.", role="footer"),
        hs()], margins=(24, 0, 24, 0), spacing=8, role="footerBar", fixed_h=36)

    start = box("PageStart", "v", [options, stack("TabPage", []), footer], stretch=None)
    start.kids[1].stretch = 1
    scan_holder = box("PageScanHolder", "v", [])
    tabs = stack("MainTabPage", [start, scan_holder])
    tabs.stretch = 1
    root = box("MainWnd", "v", [title_bar, tabs], role="mainWindow")
    # Small enough for a 1366 x 768 screen at 125 % scaling (1093 x 614 points, less a panel).
    root.props["minimumSize"] = ("size", 900, 540)
    write("skin.ui", root, 1000, 650)


def page_ios_device():
    need = box("PageItunesNeeded", "v", [
        vs(),
        label("ImgItunesNeeded", pixmap="support_missing.svg", fixed_h=150),
        label("LblDesc1", "Device support is not running", role="headline",
              align="Qt::AlignCenter", wrap=True),
        label("LblDesc2", "Halvern reaches the iPhone through the usbmuxd service.",
              role="body", align="Qt::AlignCenter", wrap=True),
        label("LblDesc3", "Install usbmuxd, then press Retry.", role="body",
              align="Qt::AlignCenter", wrap=True),
        box("NeededButtons", "h", [
            hs(), button("BtnAppleUrl", "How to install", role="secondary", size=(160, 38)),
            button("BtnItunesRetry", "Retry", role="primary", size=(160, 38)), hs()],
            spacing=16, margins=(0, 16, 0, 0)),
        vs()], margins=(40, 0, 40, 0), spacing=10)
    connect = box("PageConnect", "v", [
        vs(),
        label("ImgConnect", pixmap="connect_phone.svg", fixed_h=190),
        label("LblDesc4", "Connect your iPhone to this computer with its USB cable.",
              role="headline", align="Qt::AlignCenter", wrap=True),
        label("LblDesc5", "Unlock the phone and tap \u201cTrust\u201d when it asks.", role="body",
              align="Qt::AlignCenter", wrap=True),
        vs()], margins=(40, 0, 40, 0), spacing=10)
    connected = box("PageConnected", "v", [
        vs(),
        label("ImgConnected", pixmap="phone_connected.svg", fixed_h=190),
        label("TxtDesc1", "Device connected", role="headline", align="Qt::AlignCenter",
              wrap=True),
        label("IphoneInfo", "", role="deviceInfo", align="Qt::AlignCenter"),
        box("ConnectedButtons", "h", [
            hs(), button("BtnDeviceScan", "Start Scan", role="primaryLarge", size=(200, 44)),
            hs()], margins=(0, 16, 0, 0)),
        vs()], margins=(40, 0, 40, 0), spacing=10)
    root = box("PageIosDevice", "v", [stack("TabIosDevice", [need, connect, connected], 1)],
               role="page")
    write("PageIosDevice.ui", root, 1000, 480)


def page_itunes_backup():
    header = box("BackupListHeader", "h", [
        label("LblColIcon", "", fixed_w=64),
        label("LblColName", "Name", role="listHeader", fixed_w=300),
        label("LblColDate", "Latest Backup Date", role="listHeader", fixed_w=240),
        label("LblColSerial", "Serial Number", role="listHeader")],
        margins=(0, 0, 0, 0), role="listHeaderBar", fixed_h=36)
    lst = W("QTreeWidget", "BackupFileList",
            {"headerHidden": True, "rootIsDecorated": False, "uniformRowHeights": True,
             "columnCount": 4, "iconSize": ("size", 32, 32),
             "horizontalScrollBarPolicy": ("enum", "Qt::ScrollBarAlwaysOff"),
             "focusPolicy": ("enum", "Qt::StrongFocus")}, stretch=1)
    lst.kids = []
    # Shown instead of the list when no backup was found: where the program looked, and a way
    # to pick a folder by hand.
    empty = box("EmptyHintBox", "v", [
        vs(),
        label("LblEmptyHint", "No iTunes or Finder backup was found.", role="headline",
              align="Qt::AlignCenter", wrap=True),
        label("LblEmptyWhere", "", role="body", align="Qt::AlignCenter", wrap=True,
              textInteractionFlags=("set", "Qt::TextSelectableByMouse")),
        box("EmptyHintButtons", "h", [
            hs(), button("BtnSelDirHint", "Select Folder\u2026", role="primary",
                         icon="folder.svg", size=(200, 40)), hs()], margins=(0, 10, 0, 0)),
        vs()], margins=(20, 0, 20, 0), spacing=8, visible=False, stretch=1)
    buttons = box("BackupButtons", "h", [
        button("BtnSelDir", "Select Folder\u2026", role="secondary", icon="folder.svg",
               size=(190, 40)),
        button("BtnRefresh", "Refresh", role="secondary", size=(150, 40)),
        hs(),
        button("BtnScan", "Start Scan", role="primaryLarge", size=(200, 44))],
        margins=(0, 12, 0, 0), spacing=10)
    root = box("PageItunesBackup", "v", [
        label("LblDesc1", "Choose the backup to scan", role="headline"),
        label("LblDesc2", "Backups that iTunes made on this computer, newest first.",
              role="body"),
        header, lst, empty, buttons], margins=(40, 18, 40, 16), spacing=6, role="page")
    root.kids[3].stretch = 1
    write("PageItunesBackup.ui", root, 1000, 480)


def page_scan():
    scan_bar = box("ScanToolBar", "h", [
        W("ButtonGif", "BtnGifScanning",
          {"normalgiffile": "iTunesScanning.gif", "flat": True,
           "minimumSize": ("size", 56, 56), "maximumSize": ("size", 56, 56),
           "focusPolicy": ("enum", "Qt::NoFocus")}),
        box("ScanProgressBox", "v", [
            box("ScanTextRow", "h", [
                label("LblScanType", "Scanning the iTunes backup\u2026", role="scanType"),
                hs(), label("LblWaitDesc", "Please wait", role="muted"),
                label("LblPercent", "0%", role="percent")], spacing=10),
            W("QProgressBar", "ProgressScan", {"value": 0, "maximum": 100,
                                               "textVisible": False,
                                               "maximumSize": ("size", 16777215, 8)})],
            spacing=8, stretch=1),
        button("BtnScanPause", "Pause", role="secondary", size=(110, 36)),
        button("BtnScanStop", "Stop", role="danger", size=(110, 36))],
        margins=(20, 8, 20, 8), spacing=16, role="scanBar", fixed_h=76)
    rec_bar = box("ReocveryToolBar", "h", [
        label("LblRemarkIcon", pixmap="scan_done.svg", fixed_w=56),
        label("LblRemark", "Scan complete. Check the items to recover.", role="scanType",
              wrap=True), hs()],
        margins=(20, 8, 20, 8), spacing=12, role="scanBar", fixed_h=76, visible=False)
    tree = W("FileTree", "NodeTree", {"minimumSize": ("size", 210, 0),
                                      "maximumSize": ("size", 230, 16777215),
                                      "focusPolicy": ("enum", "Qt::StrongFocus")})
    info = box("iPhoneInfoLayout", "v", [
        vs(),
        W("ButtonGif", "BtnGifLoading", {"normalgiffile": "Loading.gif", "flat": True,
                                          "minimumSize": ("size", 64, 64),
                                          "focusPolicy": ("enum", "Qt::NoFocus")}),
        label("PageScanDesc1", "Your data is being scanned.", role="headline",
              align="Qt::AlignCenter", wrap=True),
        label("PageScanDesc2", "Categories appear on the left as soon as they are read.",
              role="body", align="Qt::AlignCenter", wrap=True),
        label("PageScanDesc3", "Pick a category to see its items.", role="body",
              align="Qt::AlignCenter", wrap=True),
        vs()], margins=(30, 0, 30, 0), spacing=10, stretch=1)
    filter_bar = box("FilterToolBar", "h", [
        button("OptOnOffFilter", "", role="switch", checkable=True, size=(44, 22)),
        label("PageScanDesc4", "Only display the deleted items", role="body"),
        label("LblFilterCount", "Files Filtered: 0 item(s)", role="muted", visible=False),
        hs(),
        button("BtnPrint", "Print", role="secondary", icon="print.svg", size=(100, 32))],
        spacing=10)
    list_bar = box("DataListToolBar", "h", [
        button("BtnBackAppDir", "Back", role="secondary", icon="back.svg", size=(90, 32),
               visible=False),
        filter_bar,
        # The search box filters whichever list is shown, with or without a filter bar.
        W("QLineEdit", "EditSearch", {"placeholderText": "Search this list",
                                      "clearButtonEnabled": True,
                                      "minimumSize": ("size", 130, 30),
                                      "maximumSize": ("size", 240, 30)})],
        margins=(12, 6, 12, 6), spacing=10, fixed_h=46, role="listToolBar",
        visible=False)
    list_header = box("DataListHeader", "h", [
        W("QCheckBox", "CheckAll", {"focusPolicy": ("enum", "Qt::StrongFocus"),
                                    "text": "Select all"})] +
        [label("Col%d" % i, "", role="listHeader") for i in range(1, 7)],
        margins=(8, 0, 8, 0), spacing=6, fixed_h=34, role="listHeaderBar")
    # A plain view: the scan page gives it a model over the result containers, so that a
    # million rows show and scroll without being copied into items.
    data_list = W("QTreeView", "DataList",
                  {"headerHidden": False, "rootIsDecorated": False, "uniformRowHeights": True,
                   "itemsExpandable": False, "focusPolicy": ("enum", "Qt::StrongFocus"),
                   "sortingEnabled": True,
                   "selectionMode": ("enum", "QAbstractItemView::ExtendedSelection"),
                   "selectionBehavior": ("enum", "QAbstractItemView::SelectRows")})
    data_layout = box("DataListLayout", "v", [list_bar, list_header, data_list], stretch=1,
                      visible=False)
    switch = box("SwitchLayout", "v", [
        vs(), button("OptOnOffPreview", "", role="previewSwitch", checkable=True,
                     size=(10, 48)), vs()], fixed_w=10, visible=False)
    preview = box("PreviewLayout", "v", [
        W("QTextEdit", "PreviewEdit", {"readOnly": True, "visible": False}),
        W("QListWidget", "MessagesList", {"visible": False,
                                          "verticalScrollMode": (
                                              "enum", "QAbstractItemView::ScrollPerPixel")})],
        fixed_w=240, visible=False, role="previewPane",
        **{"virtualWindow": "PreviewVtrWnd"})
    preview.dyn["virtualWindow"] = preview.props.pop("virtualWindow")
    body = box("ScanBody", "h", [tree, info, data_layout, switch, preview], stretch=1)
    bottom = box("ScanBottomBar", "h", [
        button("BtnHome", "Home", role="secondary", icon="home.svg", size=(110, 36)),
        label("LblStatistics", "You select 0 MB in 0 item(s) of 0 MB in 0 item(s)",
              role="statistics", wrap=True),
        hs(),
        W("QCheckBox", "ChkHeicJpeg", {"text": "Copies for browsers (JPEG, thumbnails, sound)",
                                       "checked": True,
                                       "focusPolicy": ("enum", "Qt::StrongFocus")}),
        button("BtnRecovery", "Recover", role="primaryLarge", size=(160, 40))],
        margins=(20, 0, 20, 0), spacing=16, fixed_h=60, role="bottomBar")
    root = box("PageScan", "v", [scan_bar, rec_bar, body, bottom], role="page")
    write("PageScan.ui", root, 1000, 560)


def message_box(kind, icon, two_buttons):
    buttons = [hs()]
    if two_buttons:
        buttons.append(button("cancelbtn", "Cancel", role="secondary", size=(110, 36)))
    # Enter presses OK (the default button), Escape closes.
    buttons.append(button("okbtn", "OK", role="primary", size=(110, 36), autoDefault=True,
                          default=True))
    root = box("MessageBox" + kind, "v", [
        popup_title("", icon),
        box("MessageBody", "h", [
            label("message", "", role="message", wrap=True,
                  align="Qt::AlignLeft|Qt::AlignVCenter",
                  textInteractionFlags=("set", "Qt::TextSelectableByMouse"))],
            margins=(24, 8, 24, 8), stretch=1),
        box("MessageButtons", "h", buttons, margins=(24, 0, 20, 16), spacing=10)],
        role="popup")
    root.kids[1].stretch = 1
    write("MessageBox_%s.ui" % kind, root, 550, 200)


def menu_assist():
    items = [("item_help", "Help", "help.svg"), ("item_faq", "FAQ", "help.svg"),
             ("item_language", "Language", "language.svg"), ("item_about", "About", "info.svg"),
             ("item_support", "Support", "support.svg"), ("item_exit", "Exit", "exit.svg")]
    root = box("menu_assist", "v",
               [button(n, t, role="menuItem", icon=i, size=None) for n, t, i in items],
               margins=(4, 6, 4, 6), spacing=0, role="menu", cls="QFrame")
    write("menu_assist.ui", root, 180, 220)


def decryption_wnd():
    root = box("DecryptionWnd", "v", [
        popup_title("Backup Password", "lock.svg"),
        box("DecryptionBody", "v", [
            label("LblDesc", "", role="body", wrap=True),
            W("QLineEdit", "EditPassword", {"echoMode": ("enum", "QLineEdit::Password"),
                                            "maxLength": 256,
                                            "placeholderText": "Password",
                                            "minimumSize": ("size", 0, 36)})],
            margins=(24, 4, 24, 4), spacing=10),
        vs(),
        box("DecryptionButtons", "h", [
            hs(), button("BtnCancel", "Cancel", role="secondary", size=(110, 36)),
            button("BtnOK", "OK", role="primary", size=(110, 36), autoDefault=True,
                   default=True)], margins=(24, 0, 20, 16), spacing=10)], role="popup")
    write("DecryptionWnd.ui", root, 550, 200)


def preview_process_wnd():
    root = box("PreviewProcessWnd", "v", [
        popup_title("Preparing Preview"),
        box("PreviewProcessBody", "v", [
            label("LblFileName", "", role="body"),
            W("QProgressBar", "Progress", {"value": 0, "maximum": 100, "textVisible": False,
                                           "maximumSize": ("size", 16777215, 8)}),
            label("LblPercent", "", role="muted")], margins=(24, 6, 24, 4), spacing=10),
        vs(),
        box("PreviewProcessButtons", "h", [
            hs(), button("BtnCancel", "Cancel", role="secondary", size=(110, 36))],
            margins=(24, 0, 20, 16))], role="popup")
    write("PreviewProcessWnd.ui", root, 500, 200)


def recover_process_wnd():
    detail = W("QTreeWidget", "DetailList",
               {"rootIsDecorated": False, "uniformRowHeights": True, "columnCount": 2,
                "visible": False, "focusPolicy": ("enum", "Qt::StrongFocus")}, stretch=1)
    root = box("RecoverProcessWnd", "v", [
        popup_title("Recover"),
        box("RecoverBody", "v", [
            label("current", "", role="body"),
            W("QProgressBar", "Progress", {"value": 0, "maximum": 100, "textVisible": False,
                                           "maximumSize": ("size", 16777215, 8)}),
            box("RecoverCounts", "h", [label("percent", "", role="muted"), hs(),
                                       label("recovered", "", role="muted")], spacing=10),
            detail], margins=(24, 6, 24, 4), spacing=10, stretch=1),
        box("RecoverButtons", "h", [
            button("DetailBtn", "Details", role="secondary", size=(110, 36)),
            button("OpenBtn", "Open Folder", role="secondary", icon="folder.svg",
                   size=(150, 36)),
            hs(),
            button("CancelBtn", "Cancel", role="secondary", size=(110, 36)),
            button("FinishBtn", "Finish", role="primary", size=(110, 36), visible=False)],
            margins=(24, 0, 20, 16), spacing=10)], role="popup")
    write("RecoverProcessWnd.ui", root, 550, 250)


def message_element(name, send):
    text = W("LabelEx", "MsgText", {"wordWrap": True}, dyn={"role": "bubbleSend" if send
                                                              else "bubbleRecv"})
    inner = box("MsgColumn", "v", [
        label("MsgHeader", "", role="bubbleHeader", fixed_h=20), text], spacing=0)
    if send:
        row = [hs(20), inner]
    else:
        row = [inner, hs(20)]
    root = box(name, "h", row, margins=(15, 15, 15, 0))
    write(name + ".ui", root, 240, 80)


def contact_info():
    rows = []
    for desc, text, caption in [("LblPhoneDesc", "TxtPhone", "Mobile Phone: "),
                                ("LblEmailDesc", "TxtEmail", "Email: "),
                                ("LblAddressDesc", "TxtAddress", "Address: "),
                                ("LblUrlDesc", "TxtUrl", "Url: "),
                                ("LblSocialDesc", "TxtSocial", "Social: "),
                                ("LblCompanyDesc", "TxtCompany", "Company: ")]:
        rows.append(box(desc[3:-4] + "Row", "h", [
            label(desc, caption, role="cardLabel", fixed_w=100,
                  align="Qt::AlignLeft|Qt::AlignTop"),
            label(text, "", role="cardText", wrap=True, align="Qt::AlignLeft|Qt::AlignTop")],
            margins=(20, 0, 5, 0), fixed_h=30))
    root = box("ContactInfo", "v", [
        label("LblContactHeader",
              "---------------------- Contact ----------------------", role="separator",
              align="Qt::AlignCenter", fixed_h=20),
        box("ContactNameRow", "h", [
            label("ImgContact", pixmap="contact.svg", fixed_w=62),
            label("TxtUserName", "", role="cardName", wrap=True,
                  align="Qt::AlignLeft|Qt::AlignVCenter")], margins=(20, 15, 0, 0),
            fixed_h=90)] + rows + [vs()])
    write("ContactInfo.ui", root, 240, 400)


def about_wnd():
    root = box("AboutWnd", "v", [
        popup_title("About Halvern", "info.svg"),
        box("AboutBody", "h", [
            label("LblAboutLogo", pixmap="logo.svg", fixed_w=72, align="Qt::AlignTop"),
            box("AboutTexts", "v", [
                label("LblAboutName", "Halvern", role="headline"),
                label("LblAboutVersion", "", role="body",
                      textInteractionFlags=("set", "Qt::TextSelectableByMouse")),
                label("LblAboutText", "Gets a person's data back from an iPhone backup or an "
                      "attached iPhone.", role="body", wrap=True),
                label("LblAboutLicence", "", role="muted", wrap=True,
                      textInteractionFlags=("set", "Qt::TextSelectableByMouse"))],
                spacing=6, stretch=1)], margins=(24, 8, 24, 8), spacing=16, stretch=1),
        box("AboutButtons", "h", [
            hs(), button("okbtn", "OK", role="primary", size=(110, 36), autoDefault=True,
                         default=True)], margins=(24, 0, 20, 16))], role="popup")
    write("AboutWnd.ui", root, 480, 260)


def print_wnd():
    # The browser is inserted into WebPagePrint from code (a .ui cannot hold one).
    loading = box("PrintLoadingPage", "v", [
        vs(), W("ButtonGif", "BtnGifPrintLoading", {"normalgiffile": "Loading.gif",
                                                    "flat": True,
                                                    "focusPolicy": ("enum", "Qt::NoFocus"),
                                                    "minimumSize": ("size", 64, 64)}),
        vs()])
    browser = box("WebPagePrint", "v", [])
    root = box("PrintWnd", "v", [
        popup_title("Print", "print.svg"),
        stack("PrintTabPage", [loading, browser])], role="popup")
    root.kids[1].stretch = 1
    write("PrintWnd.ui", root, 800, 600)


def write_qrc():
    here = os.path.dirname(OUT)
    lines = ["<RCC>", ' <qresource prefix="/skin">']
    for f in sorted(os.listdir(OUT)):
        if f.endswith(".ui"):
            lines.append('  <file alias="xml/%s.xml">xml/%s</file>' % (f[:-3], f))
    for f in sorted(os.listdir(os.path.join(here, "images"))):
        lines.append("  <file>images/%s</file>" % f)
    lines += ["  <file>skin.qss</file>", " </qresource>", "</RCC>", ""]
    with open(os.path.join(here, "skin.qrc"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    skin()
    page_ios_device()
    page_itunes_backup()
    page_scan()
    message_box("Error", "box_error.svg", False)
    message_box("Confirm", "box_confirm.svg", True)
    message_box("Information", "box_info.svg", False)
    message_box("Warning", "box_warning.svg", False)
    message_box("Question", "box_question.svg", True)
    menu_assist()
    decryption_wnd()
    preview_process_wnd()
    message_element("MessagesElementSend", True)
    message_element("MessagesElementRecv", False)
    contact_info()
    recover_process_wnd()
    print_wnd()
    about_wnd()
    write_qrc()
