class O:
    def __init__(self):
        self.x = 0
        self.y = 0


o = O()
for _ in range(1000000):
    o.x = o.x + 1
print(o.x)
