import QtQuick 2.15
import QtQuick.Layouts 1.15
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
    // The keyboard the added hide key works on and takes its look from.
    readonly property var keyboard: inputPanel.keyboard
    // A hide key was touched: the added one, or the layout's own where it
    // has one (Qt 6.8's). QtWebEngine 6 brings the panel back for a field
    // that keeps its focus, so the window takes the focus from the page.
    signal hideKeyTouched()

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

    // Qt 6.4's layouts have no hide key (it sits behind a long press on the
    // comma key there); Qt 5's end their bottom row with one. A layout
    // without one gets it at the end of its bottom row, so the panel hides
    // with one touch on every Qt. A layout that has one is left as it is.
    Component {
        id: hideKeyComponent
        HideKeyboardKey {
            onClicked: root.hideKeyTouched()
            Layout.fillWidth: false
        }
    }

    // Qt 5's keyboard does not show its layout loader (nor needs a key).
    readonly property var layoutLoader: inputPanel.keyboard.keyboardLayoutLoader !== undefined
                                        ? inputPanel.keyboard.keyboardLayoutLoader : null

    Connections {
        target: root.layoutLoader
        function onLoaded() { root.addHideKey() }
    }

    function keyRows(layout) {
        var rows = []
        for (var i = 0; i < layout.children.length; ++i) {
            var child = layout.children[i]
            if (child.keyWeight !== undefined && child.keyType === undefined)
                rows.push(child)
        }
        return rows
    }

    function addHideKey() {
        var layout = layoutLoader ? layoutLoader.item : null
        if (!layout)
            return
        var rows = keyRows(layout)
        if (rows.length === 0)
            return
        var bottom = rows[rows.length - 1]
        // As wide as the row's first key, a function key in every layout.
        var first = bottom.children.length > 0 ? bottom.children[0] : null
        var properties = {}
        if (first && first.weight !== undefined)
            properties.weight = first.weight
        var added = hideKeyComponent.createObject(bottom, properties)
        // The key's type is known from the key itself (its enumeration is not
        // in this import's version on every Qt).
        for (var r = 0; r < rows.length; ++r) {
            for (var k = 0; k < rows[r].children.length; ++k) {
                var key = rows[r].children[k]
                if (key !== added && key.keyType === added.keyType) {
                    added.destroy()
                    key.clicked.connect(root.hideKeyTouched)
                    return
                }
            }
        }
    }
}
