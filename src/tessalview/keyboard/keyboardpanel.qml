import QtQuick 2.15
import QtQuick.VirtualKeyboard 2.15
import QtQuick.VirtualKeyboard.Settings 2.15

// The input panel at the bottom of the kiosk's window. The widget that shows
// it takes the panel's height; the rest of the window is the page.
Item {
    id: root
    // The keyboard layout, set by the window from the device's language.
    property string locale: "en_US"
    readonly property bool panelActive: inputPanel.active
    readonly property real panelHeight: inputPanel.height

    onLocaleChanged: applyLocale()
    Component.onCompleted: applyLocale()

    function applyLocale() {
        VirtualKeyboardSettings.activeLocales = [root.locale]
        VirtualKeyboardSettings.locale = root.locale
    }

    InputPanel {
        id: inputPanel
        objectName: "inputPanel"
        width: root.width
        anchors.bottom: parent.bottom
    }
}
