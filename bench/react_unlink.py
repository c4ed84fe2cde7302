# Relations kept in a dict with a dict of each source's relations beside it:
# a change finds the changed object's relations through it, and an unlink
# drops them from both. The twin of react_unlink.kel.
class Reactor:
    def __init__(self, **fields):
        self.__dict__["fields"] = fields

    def __getattr__(self, name):
        return self.fields[name]

    def __setattr__(self, name, value):
        self.fields[name] = value
        for reaction, targets in list(by_source.get(id(self), {}).values()):
            reaction(*targets)


relations = {}
by_source = {}


def link(reaction, source, targets):
    key = (id(source), reaction, tuple(id(t) for t in targets))
    relations[key] = (reaction, targets)
    by_source.setdefault(id(source), {})[key] = (reaction, targets)


def unlink(reaction, sources=None):
    if sources is None:
        keys = [k for k in relations if k[1] is reaction]
    else:
        keys = [k for s in sources for k in by_source.get(id(s), {}) if k[1] is reaction]
    for k in keys:
        del relations[k]
        del by_source[k[0]][k]
    return bool(keys)


def show(f, m):
    f.b = m.a


def pull(s, f):
    s.b = f.a


n = 20000
m = Reactor(a=1)
sink = Reactor(b=0)
faces = [Reactor(a=0, b=0) for _ in range(n)]
for f in faces:
    link(show, m, [f, m])
for f in faces:
    link(pull, f, [sink, f])
print(len(relations))
for f in faces:
    f.a = 2
print(sink.b)
print("true" if unlink(pull, faces) else "false")
print(len(relations))
print("true" if unlink(show) else "false")
print(len(relations) * 4)
