#pragma once

#include <QObject>
#include <QThread>

// Gives a job (hashing, patching) a thread of its own: the thread starts the job's go() and ends
// once the job has reported finished() or failed(), and then deletes the job and itself.
// Connect the job's signals before calling start() on the returned thread, so that no outcome can
// come before someone listens.
template <typename Job> QThread* moveToWorkerThread(Job* job)
{
    auto* thread = new QThread();
    job->moveToThread(thread);
    QObject::connect(thread, &QThread::started, job, &Job::go);
    QObject::connect(job, &Job::finished, thread, &QThread::quit);
    QObject::connect(job, &Job::failed, thread, &QThread::quit);
    QObject::connect(thread, &QThread::finished, job, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    return thread;
}
