local a, b = {}, {}
for i = 1, 1000000 do
  a[#a + 1] = i % 500000
  b[#b + 1] = i * 3 % 1400011
end
-- the values of `from` in first-seen order that pass `keep`, each once
local function pass(from, keep, seen, out)
  for _, v in ipairs(from) do
    if not seen[v] and keep(v) then
      seen[v] = true
      out[#out + 1] = v
    end
  end
  return out
end
local function set_of(t)
  local s = {}
  for _, v in ipairs(t) do s[v] = true end
  return s
end
local all = function() return true end
print(#pass(a, all, {}, {}))
local seen = {}
print(#pass(b, all, seen, pass(a, all, seen, {})))
local in_a, in_b = set_of(a), set_of(b)
print(#pass(a, function(v) return in_b[v] end, {}, {}))
print(#pass(a, function(v) return not in_b[v] end, {}, {}))
seen = {}
print(#pass(b, function(v) return not in_a[v] end, seen, pass(a, function(v) return not in_b[v] end, seen, {})))
