# A relations table with a set beside it for the duplicate test, filtered
# in one pass: the twin of react_relations.kel.
class Reactor:
    def __init__(self, **fields):
        self.__dict__.update(fields)


relations = []
known = set()


def add_relation(source, word, reaction, targets):
    key = (id(source), word, id(reaction), id(targets))
    if key not in known:
        known.add(key)
        relations.append((source, word, reaction, targets))


def link(f, m):
    f.b = m.a


n = 20000
m = Reactor(a=1)
faces = [Reactor(a=0, b=0) for _ in range(n)]
for f in faces:
    targets = [link, f, m]
    add_relation(m, "a", link, targets)
print(len(relations))
add_relation(m, "a", link, [link, faces[-1], m])
print(len(relations))
relations = [r for r in relations if r[0] is not m and not any(t is m for t in r[3])]
known.clear()
print(len(relations))
