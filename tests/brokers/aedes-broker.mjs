// Runs an aedes MQTT broker on 127.0.0.1 for the interoperability tests.
// Usage: node aedes-broker.mjs PORT
// Prints "listening PORT" once the port accepts connections, then one line
// "subscribed CLIENTID FILTER" for every filter a client subscribes to and
// "disconnected CLIENTID" when a client has gone, so that tests can wait for
// them; stops on SIGTERM.
import { createServer } from 'node:net'
import { Aedes } from 'aedes'

const port = Number(process.argv[2])
if (!Number.isInteger(port) || port <= 0 || port > 65535) {
  console.error('usage: node aedes-broker.mjs PORT')
  process.exit(2)
}

const broker = await Aedes.createBroker()
const server = createServer(broker.handle)

broker.on('subscribe', (subscriptions, client) => {
  for (const sub of subscriptions) console.log(`subscribed ${client.id} ${sub.topic}`)
})
broker.on('clientDisconnect', (client) => {
  console.log(`disconnected ${client.id}`)
})

server.on('error', (err) => {
  console.error(`aedes: ${err.message}`)
  process.exit(1)
})
server.listen(port, '127.0.0.1', () => {
  console.log(`listening ${port}`)
})

const stop = () => {
  server.close()
  broker.close(() => process.exit(0))
}
process.on('SIGTERM', stop)
process.on('SIGINT', stop)
