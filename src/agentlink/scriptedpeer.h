#pragma once
// ScriptedPeer: a scripted agent on a real Unix-domain socket, for tests and tools.
//
// It listens at once and serves every connection on threads of its own, so it answers
// both plain blocking calls and a caller that waits inside an event loop. For each
// request it reads bytes up to the line feed, takes the "op" member and answers with
// the behaviour scripted for that op (or the default one).

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace tsav {

class ScriptedPeer {
public:
    // How the peer answers one op.
    struct Behaviour {
        QByteArray bytes;                     // written as the reply
        bool closeAfterReply = true;          // false: keep the connection open until the client closes it
        qsizetype trickleChunk = 0;           // > 0: write the reply in chunks of this size...
        std::chrono::milliseconds trickleDelay{0}; // ...with this pause between them
        std::chrono::milliseconds delay{0};   // pause before the first byte of the reply
        // When set, the reply is made from the request (its bytes up to the line feed)
        // instead of `bytes`; it runs on the peer's own thread.
        std::function<QByteArray(const QByteArray &request)> respond = {};
    };

    explicit ScriptedPeer(QString socketPath); // creates missing parent dirs (0700), listens at once
    ~ScriptedPeer();                           // stops and removes the socket file
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    bool isListening() const;
    QString socketPath() const;
    QString errorString() const; // why listening failed

    void setData(const QString &op, const QByteArray &dataJson); // {"ok":true,"data":<dataJson>}\n
    void setReply(const QString &op, const QByteArray &rawBytes); // exactly these bytes, then close
    void setBehaviour(const QString &op, const Behaviour &behaviour);
    void clearReply(const QString &op);
    void setDefaultReply(const QByteArray &rawBytes); // ops without an entry; default {"ok":false,"error":"unknown op"}\n
    void setDefaultBehaviour(const Behaviour &behaviour);
    // Every connection is closed at once, without reading (a peer that goes away early).
    void setCloseBeforeReading(bool close);

    // Loads {"summary": <data>, "threats": <data>, ...} (op -> data).
    bool loadDataObject(const QByteArray &json, QString *error = nullptr);
    bool loadDataFile(const QString &path, QString *error = nullptr);

    QList<QByteArray> requests() const; // every request received, bytes up to the line feed
    int requestCount(const QString &op) const;
    int connectionCount() const;        // connections accepted so far
    void clearRequests();

    // Canned data for every poll op: a small consistent agent state.
    static QByteArray sampleDataObject();

    // Data a hostile (or badly broken) agent might send, for tests and benchmarks:
    // `count` active file threats with ids firstId, firstId + 1, … (newest first).
    static QByteArray manyThreatsJson(qsizetype count, qint64 firstId = 1);
    // The sample "metrics.live" with `engineNames` engines of its own in both maps.
    static QByteArray metricsWithEnginesJson(qsizetype engineNames);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace tsav
