#pragma once
// The dialog seam for window tests: records every request and answers with
// what the test set up, so nothing modal ever blocks.
#include "UserDialogs.h"

#include <QList>
#include <QStringList>

#include <functional>

namespace kestrel::test {

class ScriptedDialogs : public UserDialogs {
public:
    void message(QWidget*, const QString& text, BoxIcon icon) override {
        messages << text;
        icons << icon;
        if (onMessage) onMessage(text);
    }
    bool question(QWidget*, const QString& text) override {
        questions << text;
        if (onQuestion) onQuestion();
        return answerYes;
    }
    std::optional<QString> openFileName(QWidget*, const FileChooserRequest& request) override {
        chooserRequests << request;
        return chosenFile;
    }
    std::optional<QFont> chooseFont(QWidget*, const QFont& initial) override {
        fontRequests << initial;
        return chosenFont;
    }
    std::optional<PortDialogFields> portSettings(QWidget*,
                                                 const PortDialogFields& fields) override {
        portRequests << fields;
        return portAnswer;
    }
    std::optional<DownloadRequest> download(QWidget*) override {
        ++downloadRequests;
        return downloadAnswer;
    }
    std::optional<ReceiveRequest> receive(QWidget*) override {
        ++receiveRequests;
        return receiveAnswer;
    }
    void about(QWidget*) override { ++aboutShown; }
    void help(QWidget*, const QString& text) override { helpTexts << text; }

    QStringList messages;
    QList<BoxIcon> icons;
    std::function<void(const QString&)> onMessage;
    QStringList questions;
    bool answerYes = false;
    std::function<void()> onQuestion;
    QList<FileChooserRequest> chooserRequests;
    std::optional<QString> chosenFile;
    QList<QFont> fontRequests;
    std::optional<QFont> chosenFont;
    QList<PortDialogFields> portRequests;
    std::optional<PortDialogFields> portAnswer;
    int downloadRequests = 0;
    std::optional<DownloadRequest> downloadAnswer;
    int receiveRequests = 0;
    std::optional<ReceiveRequest> receiveAnswer;
    int aboutShown = 0;
    QStringList helpTexts;
};

} // namespace kestrel::test
